// The handlers of the calls, by number: dispatch finds a call's handler here and its description in base/calls.
#pragma once

#include <cstdint>

namespace tavik {

struct Call;
struct Kernel;

using Handler = int32_t (*)(Kernel&, Call&);

// The handler of call nr, or nullptr for a number the kernel does not have.
Handler handler_of(uint32_t nr);

// The handlers, one per call: sys_write, sys__exit, ... (io_calls.cpp, file_calls.cpp, whole_file.cpp,
// spawn.cpp). Each returns the result for eax: a value, or a negated error number.
#define TAVIK_CALL(nr, name, a, b, c, result) int32_t sys_##name(Kernel& k, Call& call);
#include <tavik/calls.def>
#undef TAVIK_CALL

}  // namespace tavik
