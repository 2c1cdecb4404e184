// Tree: the shared parts made once; one loop runs the first process and, in a forked host process, the child.
#include "process/tree.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "base/calls.hpp"
#include "base/errors.hpp"
#include "base/strf.hpp"
#include "cpu/image.hpp"
#include "kernel/fd_table.hpp"
#include "kernel/process_end.hpp"
#include "kernel/sandbox.hpp"
#include "kernel/shared_counters.hpp"
#include "kernel/termination.hpp"
#include "process/process.hpp"
#include "report/report_files.hpp"
#include "report/trace.hpp"
#include "report/trace_format.hpp"

namespace tavik {

void validate_options(const RunOptions& opt) {
  if (!std::isfinite(opt.limits.timeout) || opt.limits.timeout < 0)
    throw SetupError("--timeout: not a number of seconds >= 0");
  for (const Injection& inj : opt.injects)
    if (!call_number(inj.name)) throw SetupError("--inject: unknown system call '" + inj.name + "'");
  for (const std::string& word : opt.trace.calls)
    if (word.empty() || !is_call_or_class(word[0] == '!' ? word.substr(1) : word))
      throw SetupError("-e trace: unknown system call or class '" + word + "'");
  if (opt.check.error_exitcode && !opt.check.memcheck) throw SetupError("--error-exitcode: only with --memcheck");
}

Tree::Tree(RunOptions opt) : opt_(std::move(opt)) {
  fs_ = std::make_unique<Sandbox>(opt_.io.root);
  sinks_ = std::make_unique<TraceSinks>(opt_.trace, opt_.io.stderr_fd);
  reports_ = std::make_unique<ReportFiles>(opt_.measure);
  counters_ = std::make_unique<SharedCounters>(opt_.limits);
}

Tree::~Tree() = default;

Tree& Tree::stdio(std::array<std::shared_ptr<OpenFile>, 3> files) {
  stdio_ = std::move(files);
  return *this;
}

Tree& Tree::before_start(std::function<void(Machine&)> fn) {
  before_start_ = std::move(fn);
  return *this;
}

void Tree::open_stdio(FdTable& fds) const {
  if (stdio_[0]) {
    for (int fd = 0; fd < 3; ++fd) fds.put(fd, stdio_[fd]);
    return;
  }
  if (opt_.io.stdin_file) {
    int fd = ::open(opt_.io.stdin_file->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SetupError("--stdin " + *opt_.io.stdin_file + ": " + std::strerror(errno));
    fds.put(0, std::make_shared<OpenFile>(fd, true));
  } else {
    fds.put(0, std::make_shared<OpenFile>(opt_.io.stdin_fd, false));
  }
  fds.put(1, std::make_shared<OpenFile>(opt_.io.stdout_fd, false));
  fds.put(2, std::make_shared<OpenFile>(opt_.io.stderr_fd, false));
}

void Tree::become_child() {
  child_ = true;
  stop_on_termination();
  opt_.gdb_port = 0;
  opt_.injects.clear();
  opt_.trace.keep = false;
  before_start_ = nullptr;
  prefix_ = strf("[pid %d] ", static_cast<int>(::getpid()));
}

// A spawned child ends its host process as its guest ended, so that the parent's waitpid sees the status or the
// signal matching the fault, as for a native process; 125 when the kit itself failed.
void Tree::end_child(const RunResult* result) const {
  if (result && result->end == RunResult::End::Fault) end_by_signal(fault_signal(result->fault.kind));
  if (result && result->end == RunResult::End::Killed) end_by_signal(SIGKILL);
  ::_exit(result ? result->host_exit_code() : 125);
}

RunResult Tree::run(Image image, std::vector<std::string> argv, std::string name) {
  FdTable fds;
  open_stdio(fds);
  ChildStart start{std::move(image), std::move(argv), std::move(name)};
  for (;;) {
    Process::Outcome outcome;
    try {
      Trace trace(*sinks_, opt_.trace, prefix_);
      ProcessSetup setup{opt_, *fs_, fds, *counters_, *reports_, trace};
      Process process(start.image, std::move(start.argv), start.name, setup);
      outcome = process.run(before_start_);
      outcome.result.trace = std::move(trace.events());
    } catch (const std::exception& e) {
      if (!child_) throw;
      std::string line = std::string("tavik-run: ") + e.what() + "\n";
      ssize_t ignored = ::write(opt_.io.stderr_fd, line.data(), line.size());
      (void)ignored;
      end_child(nullptr);
    }
    if (!outcome.child) {
      if (child_) end_child(&outcome.result);
      return std::move(outcome.result);
    }
    // This host process was just forked by a spawn: the parent's process is gone, the child starts here.
    start = std::move(*outcome.child);
    become_child();
  }
}

}  // namespace tavik
