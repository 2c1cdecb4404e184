// The call table: one row per system call of tavik/calls.def, holding its number, name, argument and result
// kinds and handler, so that dispatch, text trace, JSON trace and injection cannot drift apart.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tavik {

struct Call;
struct Kernel;

// How an argument register is read and shown (tavik/calls.def names them).
enum class ArgKind { NONE, INT, UINT, PTR, FD, PATH, BYTES_OUT, BYTES_IN, OPEN_FLAGS, MODE, WHENCE, HANDLE };
enum class ResultKind { STATUS, COUNT, FD, HANDLE, PID, VALUE, NORETURN };

using Handler = int32_t (*)(Kernel&, Call&);

struct CallRow {
  uint32_t nr;
  const char* name;
  std::array<ArgKind, 3> kinds;  // ebx, ecx, edx
  ResultKind result;
  Handler handler;
  bool moves_data() const;       // the call takes or delivers bytes the trace shows
};

const CallRow* find_call(uint32_t nr);
const CallRow* find_call(const std::string& name);
// The call number a trace names NAME by ("write", or "syscall_N" for a number the table lacks).
std::optional<uint32_t> call_number(const std::string& name);
// The argument kinds the trace shows for a number the table lacks.
extern const std::array<ArgKind, 3> kUnknownCallKinds;

// The handlers, one per call: sys_write, sys__exit, ... (io_calls.cpp, file_calls.cpp, whole_file.cpp,
// spawn.cpp). Each returns the result for eax: a value, or a negated error number.
#define TAVIK_CALL(nr, name, a, b, c, result) int32_t sys_##name(Kernel& k, Call& call);
#include <tavik/calls.def>
#undef TAVIK_CALL

}  // namespace tavik
