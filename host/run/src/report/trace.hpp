// Trace: every system call as a strace-like text line, as a JSON line, and as a recorded event; a summary
// table of calls, errors and time at the end. The sinks (the descriptors the lines go to) are shared by a
// whole process tree, each line written whole, so that every process's lines interleave line by line.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/calls.hpp"
#include "tavik/run.hpp"

namespace tavik {

struct Backtrace;
struct MemcheckSummary;
struct MemoryError;

// The most of one call's data a trace keeps: a huge write costs the trace no more than this.
constexpr size_t kTraceDataCap = 64 * 1024;

// Where a tree's trace goes. The command line's run opens them; its children write to the same descriptors.
struct TraceSinks {
  // Throws SetupError when a trace file cannot be created.
  TraceSinks(const TraceOptions& opt, int stderr_fd);
  ~TraceSinks();
  TraceSinks(const TraceSinks&) = delete;
  TraceSinks& operator=(const TraceSinks&) = delete;

  int text_fd = -1;  // text lines (--trace, --trace-file), or -1
  int json_fd = -1;  // JSON lines (--trace-json), or -1
  int summary_fd = -1;  // the -c table, or -1
 private:
  bool own_text_ = false;
};

class Trace {
 public:
  // prefix starts every text line; the options' keep: the events are recorded for the in-process result. pid:
  // the process's in the JSON lines (a replay's: the recorded one); 0: this host process's.
  Trace(const TraceSinks& sinks, const TraceOptions& opt, std::string prefix, int pid = 0);

  // Whether calls are timed (-T, -c).
  bool timed() const { return timed_; }
  // Whether any trace shows the bytes a call moves (decided once, for every call of the process).
  bool shows_data() const { return shows_data_; }
  void call(const TraceEvent& ev, const CallRow* row, uint64_t ns);
  void end_exit(int32_t status);
  void end_fault(const FaultInfo& fault, const Backtrace& bt);
  // bt: where a limit stopped the guest, when it says so.
  void end_killed(const char* why, const Backtrace* bt);
  // --memcheck's errors and its account at the end, as JSON lines.
  void memory_error(const MemoryError& e);
  void memcheck_summary(const MemcheckSummary& s);
  // An undefined-behaviour check that fired (-fsanitize=undefined): where, what, and the backtrace.
  void runtime_error(const std::string& where, const std::string& what, const Backtrace& bt);

  const TraceSinks& sinks() const { return sinks_; }
  std::vector<TraceEvent>& events() { return events_; }

 private:
  struct Counts {
    uint64_t calls = 0, errors = 0, ns = 0;
  };
  bool shown(const CallRow* row) const;
  std::string strings_of(const std::vector<std::string>& argv) const;
  std::string text_of(const TraceEvent& ev, const CallRow* row, uint64_t ns) const;
  void text_line(const std::string& line) const;
  void json_line(const std::string& line) const;
  void count(const TraceEvent& ev, uint64_t ns);
  void write_summary() const;

  const TraceSinks& sinks_;
  const TraceOptions& opt_;
  bool timed_;
  bool shows_data_;
  int pid_;
  std::string prefix_;
  std::vector<TraceEvent> events_;
  std::map<std::string, Counts> counts_;  // at most the table's calls and kMostUnknown others
  size_t unknown_rows_ = 0;
};

// strace-style quoting: escapes, at most limit bytes shown and "..." after the quote when there were more.
std::string quote_bytes(const std::string& bytes, size_t limit = 32);

}  // namespace tavik
