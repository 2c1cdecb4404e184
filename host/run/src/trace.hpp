// Trace: every system call as a strace-like text line, as a JSON line, and as a recorded event.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "syscall_table.hpp"
#include "tavik/run.hpp"

namespace tavik {

struct Backtrace;

class Trace {
 public:
  // text_fd < 0: no text trace; json_path empty: no JSON trace. prefix starts every text line.
  Trace(int text_fd, const std::string& json_path, bool keep, std::string prefix);

  void call(const TraceEvent& ev, const std::array<ArgKind, 3>& kinds, bool has_data);
  void end_exit(int32_t status);
  void end_fault(const FaultInfo& fault, const Backtrace& bt);
  // bt: where a limit stopped the guest, when it says so.
  void end_killed(const char* why, const Backtrace* bt);
  void flush();

  std::vector<TraceEvent>& events() { return events_; }

 private:
  void text_line(const std::string& line);

  int text_fd_;
  std::ofstream json_;
  bool keep_;
  std::string prefix_;
  std::vector<TraceEvent> events_;
};

// strace-style quoting: escapes, at most 32 bytes shown and "..." after the quote when there were more.
std::string quote_bytes(const std::string& bytes, size_t limit = 32);

}  // namespace tavik
