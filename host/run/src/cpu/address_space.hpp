// The address space of a new process: the image's segments, the stack with the arguments, the system page, and
// the CPU state in which the first instruction runs (ring 3, flat segments, the FPU after fninit).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavik {

class Image;
class Machine;

// The system page, above the stack: the GDT, and the one-instruction trampoline (iret) that enters ring 3.
constexpr uint32_t kSystemPage = 0xFFFFF000u;
constexpr uint32_t kTrampoline = kSystemPage + 0x800;

// The selectors of the GDT there: the guest runs with kUserCode and kUserData.
constexpr uint16_t kKernelData = 0x10, kUserCode = 0x1B, kUserData = 0x23;

// The lowest address of a stack of (at least) stack_size bytes below TAVIK_STACK_TOP.
uint32_t stack_base(uint32_t stack_size);

// Maps and fills everything; the emulation then starts at kTrampoline. Throws SetupError when the image and the
// stack do not fit together, or the arguments do not fit the stack.
void build_address_space(Machine& m, const Image& image, const std::vector<std::string>& argv, uint32_t stack_size);

}  // namespace tavik
