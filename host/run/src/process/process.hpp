// Process: one guest program in its own emulator, from its first instruction to its end: the address space, the
// CPU's events, the system calls, the limits and the debugger wired together, and the end made known (the fault
// report, the trace's last line, the debugger's stop). Its run returns how it ended, or, in a host process a
// spawn has just forked, the child to start in its place (the tree's loop runs it: a chain of spawns never
// deepens the host's stack).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/deadline.hpp"
#include "kernel/dispatcher.hpp"
#include "kernel/kernel.hpp"
#include "kernel/process_end.hpp"
#include "process/cpu_events.hpp"
#include "process/insn_count.hpp"
#include "replay/history.hpp"
#include "cpu/machine.hpp"
#include "tavik/run.hpp"

namespace tavik {

class Coverage;
class FdTable;
class GdbStub;
class Image;
class AddressSanitizer;
class Memcheck;
class UndefinedBehaviour;
class Profile;
class ReportFiles;
class Sandbox;
class SharedCounters;
class Timeline;
class Trace;

// What a process is given by its tree: the options it runs under (its own: a spawned child has no debugger and
// no injections), and the parts every process of the tree shares.
struct ProcessSetup {
  const RunOptions& opt;
  Sandbox& fs;
  FdTable& fds;
  SharedCounters& counters;
  const ReportFiles& reports;
  Trace& trace;
  History::Setup history;                // what is kept of its calls, or answered from a recording
};

class Process {
 public:
  struct Outcome {
    RunResult result;
    std::optional<ChildStart> child;  // this host process was forked by a spawn: start this image next
    bool counted = false;             // result.instructions is the instructions the process ran
  };

  Process(Image& image, std::vector<std::string> argv, std::string name, const ProcessSetup& setup);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Runs to the end; the fault report goes to the stderr descriptor. before_start, when given, sees the machine
  // ready to run.
  Outcome run(const std::function<void(Machine&)>& before_start = {});

 private:
  void install_hooks(bool counting);
  uc_err run_guest(uint32_t from);
  bool went_back(uc_err err);
  uc_err emulate(uint32_t from);
  void settle_end(uc_err err);
  void write_reports();
  RunResult make_known();
  void report_stop(Limit limit);
  std::string command_line() const;
  void say(const std::string& text) const;
  static void on_abort(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_assert(uc_engine* uc, uint64_t addr, uint32_t size, void* self);

  Image& image_;
  std::vector<std::string> argv_;
  std::string name_;
  const RunOptions& opt_;
  ProcessSetup setup_;
  Machine m_;
  ProcessEnd end_;
  Deadline deadline_;
  Kernel kernel_;
  History history_;
  Dispatcher calls_;
  CpuEvents events_;
  InsnCount count_;
  std::unique_ptr<GdbStub> gdb_;  // only with --gdb
  std::unique_ptr<Timeline> timeline_;  // with --gdb, when the process can go back in time
  std::unique_ptr<Coverage> coverage_;  // only with --coverage
  std::unique_ptr<Profile> profile_;    // only with --profile
  std::unique_ptr<Memcheck> memcheck_;  // only with --memcheck
  std::unique_ptr<AddressSanitizer> asan_;  // only for an image built with -fsanitize=address
  std::unique_ptr<UndefinedBehaviour> ub_;  // the reports of -fsanitize=undefined code
  bool said_why_ = false;               // a failed assertion was reported: the abort after it says no more
};

}  // namespace tavik
