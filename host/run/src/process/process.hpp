// Process: one guest program in its own emulator, from its first instruction to its end: the address space, the
// CPU's events, the system calls, the limits and the debugger wired together, and the end made known (the fault
// report, the trace's last line, the debugger's stop).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "process/cpu_events.hpp"
#include "kernel/deadline.hpp"
#include "kernel/dispatcher.hpp"
#include "process/insn_count.hpp"
#include "kernel/kernel.hpp"
#include "cpu/machine.hpp"
#include "kernel/process_end.hpp"
#include "tavik/run.hpp"

namespace tavik {

class FdTable;
class Coverage;
class Profile;
class GdbStub;
class Image;
class ProcessTree;
class Sandbox;
class Trace;

class Process {
 public:
  Process(Image& image, std::vector<std::string> argv, std::string name, const RunOptions& opt,
          Sandbox& fs, FdTable& fds, ProcessTree& tree, Trace& trace);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Runs to the end; the fault report goes to the guest's stderr descriptor. In a host process forked by a
  // spawn, the child runs instead and this never returns. before_start, when given, sees the machine ready to
  // run.
  RunResult run(const std::function<void(Machine&)>& before_start = {});

 private:
  uc_err emulate();
  void settle_end(uc_err err);
  RunResult make_known();
  void report_stop(Limit limit);
  std::string profile_path() const;
  std::string command_line() const;

  Image& image_;
  std::vector<std::string> argv_;
  std::string name_;
  const RunOptions& opt_;
  Sandbox& fs_;
  FdTable& fds_;
  ProcessTree& tree_;
  Trace& trace_;
  Machine m_;
  ProcessEnd end_;
  Deadline deadline_;
  Kernel kernel_;
  Dispatcher calls_;
  CpuEvents events_;
  InsnCount count_;
  std::unique_ptr<GdbStub> gdb_;  // only with --gdb
  std::unique_ptr<Coverage> coverage_;  // only with --coverage
  std::unique_ptr<Profile> profile_;    // only with --profile
};

}  // namespace tavik
