// The kernel's calls as the kit reads tavik/calls.def: one row per call with its number, name, argument and
// result kinds, so that dispatch, text trace, JSON trace, injection and the options cannot drift apart.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tavik {

// How an argument register is read and shown (tavik/calls.def names them).
enum class ArgKind { NONE, INT, UINT, PTR, FD, PATH, BYTES_OUT, BYTES_IN, OPEN_FLAGS, MODE, WHENCE, HANDLE, ARGV };
enum class ResultKind { STATUS, COUNT, FD, HANDLE, PID, VALUE, NORETURN };

struct CallRow {
  uint32_t nr;
  const char* name;
  std::array<ArgKind, 3> kinds;  // ebx, ecx, edx
  ResultKind result;
  bool moves_data() const;       // the call takes or delivers bytes the trace shows
};

const CallRow* find_call(uint32_t nr);
const CallRow* find_call(const std::string& name);
// The call number a trace names NAME by ("write", or "syscall_N" for a number the table lacks).
std::optional<uint32_t> call_number(const std::string& name);
// The argument kinds the trace shows for a number the table lacks.
extern const std::array<ArgKind, 3> kUnknownCallKinds;

}  // namespace tavik
