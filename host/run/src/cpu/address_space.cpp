// The address space and the ring-3 start of a process.
#include "cpu/address_space.hpp"

#include <tavik/abi.h>

#include <algorithm>

#include "base/errors.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "base/strf.hpp"

namespace tavik {
namespace {

constexpr uint32_t kPage = TAVIK_PAGE_SIZE;
constexpr uint32_t kStackTop = TAVIK_STACK_TOP;

uint64_t descriptor(uint8_t access) {
  // Flat 4 GiB segment: base 0, limit 0xFFFFF in pages, 32-bit.
  const uint64_t limit = 0xFFFFF;
  return (limit & 0xFFFF) | (uint64_t(access) << 40) | (((limit >> 16) & 0xF) << 48) | (uint64_t(0xC) << 52);
}

uint64_t round_page(uint64_t n) { return (n + kPage - 1) / kPage * kPage; }

// Initial stack: argc, the argument pointers inline, a null pointer, and the strings above them. Returns esp.
uint32_t lay_out_arguments(Machine& m, const std::vector<std::string>& argv, uint32_t stack_size) {
  size_t strings = 0;
  for (const std::string& a : argv) strings += a.size() + 1;
  size_t needed = strings + (argv.size() + 2) * 4 + 64;
  if (needed > stack_size / 2) throw SetupError(strf("arguments of %zu bytes do not fit the stack", strings));
  uint32_t at = kStackTop - 16;
  std::vector<uint32_t> words{static_cast<uint32_t>(argv.size())};
  for (const std::string& a : argv) {
    at -= static_cast<uint32_t>(a.size() + 1);
    m.poke(at, a.c_str(), a.size() + 1);
    words.push_back(at);
  }
  words.push_back(0);
  uint32_t esp = (at - static_cast<uint32_t>(words.size() * 4)) & ~15u;
  m.poke(esp, words.data(), words.size() * 4);
  return esp;
}

void map_system_page(Machine& m) {
  m.map(kSystemPage, kPage, UC_PROT_READ | UC_PROT_EXEC);
  // The descriptors have their accessed bits preset so the CPU never writes them.
  uint64_t gdt[5] = {0, descriptor(0x9B), descriptor(0x93), descriptor(0xFB), descriptor(0xF3)};
  m.poke(kSystemPage, gdt, sizeof gdt);
  const uint8_t iret = 0xCF;
  m.poke(kTrampoline, &iret, 1);
  m.set_gdt(kSystemPage, sizeof gdt - 1);
}

void enter_ring3(Machine& m, uint32_t entry, uint32_t esp) {
  // The emulator starts at privilege level 0, where hlt, cli and in/out would simply run. Loading a ring-3
  // SS directly is refused at level 0, so the start goes through an iret from a ring-0 stack, as a kernel's
  // return to user mode does.
  m.set_reg(UC_X86_REG_SS, kKernelData);
  for (int seg : {UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_FS, UC_X86_REG_GS}) m.set_reg(seg, kUserData);
  uint32_t frame[5] = {entry, kUserCode, 0x202, esp, kUserData};
  m.poke(esp - sizeof frame, frame, sizeof frame);
  for (int r : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI, UC_X86_REG_EDI,
                UC_X86_REG_EBP})
    m.set_reg(r, 0);
  m.set_reg(UC_X86_REG_ESP, esp - sizeof frame);
  // A new process gets the FPU as a kernel hands it over after fninit: extended precision, round to nearest,
  // every exception masked, every register empty. The emulator itself starts with a control word of 0.
  m.set_reg(UC_X86_REG_FPCW, 0x037f);
  m.set_reg(UC_X86_REG_FPTAG, 0xffff);
}

}  // namespace

uint32_t stack_base(uint32_t stack_size) {
  return kStackTop - static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(round_page(stack_size), 4 * kPage),
                                                               kStackTop));
}

void build_address_space(Machine& m, const Image& image, const std::vector<std::string>& argv, uint32_t stack_size) {
  stack_size = static_cast<uint32_t>(std::max<uint64_t>(round_page(stack_size), 4 * kPage));
  if (stack_size > kStackTop / 2) throw SetupError(strf("stack size %#x is too large", stack_size));
  uint32_t lowest = stack_base(stack_size);
  for (const Segment& s : image.segments()) {
    if (uint64_t(s.vaddr) + round_page(s.memsz) > lowest)
      throw SetupError(strf("%s: segment at %#x overlaps the stack (%#x..%#x)", image.label().c_str(), s.vaddr,
                            lowest, kStackTop));
    m.map(s.vaddr, static_cast<uint32_t>(round_page(s.memsz)), s.perms);
    m.poke(s.vaddr, s.bytes.data(), s.bytes.size());  // beyond filesz the fresh mapping is already zero
  }
  m.map(lowest, stack_size, UC_PROT_READ | UC_PROT_WRITE);
  uint32_t esp = lay_out_arguments(m, argv, stack_size);
  map_system_page(m);
  enter_ring3(m, image.entry(), esp);
}

}  // namespace tavik
