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
#include "replay/history.hpp"
#include "replay/journal.hpp"
#include "replay/recording.hpp"

namespace tavik {
namespace {

record::End end_record(const RunResult& r, bool counted) {
  record::End e;
  e.how = r.end;
  e.status = r.status;
  e.counted = counted;
  e.insns = r.instructions;
  e.fault = r.fault;
  e.limit = r.killed;
  return e;
}

std::string describe_end(RunResult::End how, int32_t status, const FaultInfo& fault, Limit limit) {
  switch (how) {
    case RunResult::End::Exit: return strf("exit status %d", status);
    case RunResult::End::Fault: return strf("a %s at 0x%x", fault_words(fault.kind), fault.eip);
    case RunResult::End::Killed: return strf("a stop by %s", limit_name(limit));
    default: return "no end";
  }
}

}  // namespace

// A replay that ended otherwise than its recording, or before it: said, as the kit's failure.
void Tree::check_replay_end(const ProcessLog& log, const Journal& journal, const RunResult& got) const {
  const record::End& want = *log.end;
  std::string why;
  if (journal.position() < log.events.size())
    why = strf("the program ended after %llu of its %zu recorded events",
               static_cast<unsigned long long>(journal.position()), log.events.size());
  bool status_differs = got.end == RunResult::End::Exit && got.status != want.status && !opt_.check.error_exitcode;
  bool fault_differs = got.end == RunResult::End::Fault && (got.fault.eip != want.fault.eip || got.fault.kind != want.fault.kind);
  if (why.empty() && (got.end != want.how || status_differs || fault_differs ||
                      (got.end == RunResult::End::Killed && got.killed != want.limit)))
    why = "it ended with " + describe_end(got.end, got.status, got.fault, got.killed) + ", the recording with " +
          describe_end(want.how, want.status, want.fault, want.limit);
  if (!why.empty()) throw EmulatorError("the replay did not end as its recording: " + why);
}

void validate_options(const RunOptions& opt) {
  if (!std::isfinite(opt.limits.timeout) || opt.limits.timeout < 0)
    throw SetupError("--timeout: not a number of seconds >= 0");
  for (const Injection& inj : opt.injects)
    if (!call_number(inj.name)) throw SetupError("--inject: unknown system call '" + inj.name + "'");
  for (const std::string& word : opt.trace.calls)
    if (word.empty() || !is_call_or_class(word[0] == '!' ? word.substr(1) : word))
      throw SetupError("-e trace: unknown system call or class '" + word + "'");
  if (opt.check.error_exitcode && !opt.check.memcheck) throw SetupError("--error-exitcode: only with --memcheck");
  bool replay = !opt.replay.replay.empty();
  if (replay && !opt.replay.record.empty()) throw SetupError("--record: not with --replay (a replay is recorded already)");
  if (replay && !opt.injects.empty()) throw SetupError("--inject: not with --replay (its calls answer as recorded)");
  if (opt.replay.replay_pid && (!replay || !opt.gdb_port)) throw SetupError("--replay-pid: only with --replay and --gdb");
}

Tree::Tree(RunOptions opt, const Recording* replay) : opt_(std::move(opt)), replay_(replay), gdb_port_(opt_.gdb_port) {
  // A replay touches no file of the host: its sandbox has no root, and no call is performed in it.
  fs_ = replay_ ? std::make_unique<Sandbox>() : std::make_unique<Sandbox>(opt_.io.root);
  sinks_ = std::make_unique<TraceSinks>(opt_.trace, opt_.io.stderr_fd);
  reports_ = std::make_unique<ReportFiles>(opt_.measure);
  counters_ = std::make_unique<SharedCounters>(opt_.limits);
  if (!opt_.replay.record.empty()) {
    record::Header header{opt_.limits.stack_size, opt_.limits.memory_cap, opt_.tsc};
    record_ = std::make_unique<RecordFile>(opt_.replay.record, header, opt_.limits.file_size_limit);
  }
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

void Tree::become_child(const ChildStart& start) {
  child_ = true;
  stop_on_termination();
  opt_.injects.clear();
  opt_.trace.keep = false;
  before_start_ = nullptr;
  // A replayed child goes by the pid it had when recorded, as its parent saw it.
  prefix_ = strf("[pid %d] ", replay_ ? start.pid : static_cast<int>(::getpid()));
}

// The debugger serves the tree's first process, or in a replay the one --replay-pid names.
int Tree::debug_port(const ChildStart& start) const {
  if (replay_ && opt_.replay.replay_pid) return start.pid == *opt_.replay.replay_pid ? gdb_port_ : 0;
  return child_ ? 0 : gdb_port_;
}

RunResult Tree::replay() {
  const ProcessLog& root = replay_->root();
  if (opt_.replay.replay_pid && !replay_->process_with_pid(*opt_.replay.replay_pid))
    throw SetupError(strf("--replay-pid %d: no process of the recording had that pid", *opt_.replay.replay_pid));
  std::vector<uint8_t> file(root.start.image.begin(), root.start.image.end());
  ChildStart start{Image::parse(std::move(file), root.start.label, opt_.limits.memory_cap), root.start.argv,
                   root.start.name};
  start.serial = record::kRootSerial;
  start.pid = root.start.pid;
  return run(std::move(start));
}

RunResult Tree::run(Image image, std::vector<std::string> argv, std::string name) {
  return run(ChildStart{std::move(image), std::move(argv), std::move(name)});
}

// A spawned child ends its host process as its guest ended, so that the parent's waitpid sees the status or the
// signal matching the fault, as for a native process; 125 when the kit itself failed.
void Tree::end_child(const RunResult* result) const {
  if (result && result->end == RunResult::End::Fault) end_by_signal(fault_signal(result->fault.kind));
  if (result && result->end == RunResult::End::Killed) end_by_signal(SIGKILL);
  ::_exit(result ? result->host_exit_code() : 125);
}

RunResult Tree::run(ChildStart start) {
  FdTable fds;
  if (!replay_) open_stdio(fds);
  if (start.serial == 0) start.serial = record::kRootSerial;
  for (;;) {
    serial_ = start.serial;
    opt_.gdb_port = debug_port(start);
    std::unique_ptr<ProcessRecorder> recorder;
    if (record_) {
      recorder = std::make_unique<ProcessRecorder>(*record_, serial_, opt_.io.stderr_fd);
      std::string_view file(reinterpret_cast<const char*>(start.file.data()), start.file.size());
      recorder->add(record::Start{serial_, parent_serial_, static_cast<int32_t>(::getpid()), start.image.label(),
                                  start.name, start.argv, file});
      start.file = {};
    }
    const ProcessLog* log = replay_ ? replay_->process(serial_) : nullptr;
    // A replay answers from its recording; a debugged run keeps its own calls, to go back in time over them.
    std::unique_ptr<Journal> journal = log ? std::make_unique<Journal>(*replay_, *log)
                                       : opt_.gdb_port ? std::make_unique<Journal>() : nullptr;
    History::Setup history{journal.get(), recorder.get(), record_.get(), replay_,
                           opt_.io.stdout_fd, opt_.io.stderr_fd, opt_.limits.memory_cap,
                           log && log->end ? &*log->end : nullptr, serial_};
    Process::Outcome outcome;
    try {
      Trace trace(*sinks_, opt_.trace, prefix_, replay_ ? start.pid : 0);
      ProcessSetup setup{opt_, *fs_, fds, *counters_, *reports_, trace, history};
      Process process(start.image, std::move(start.argv), start.name, setup);
      outcome = process.run(before_start_);
      outcome.result.trace = std::move(trace.events());
      // A debugged replay ends as the debugger has it (a kill, a changed variable): only an undebugged one must
      // end as recorded.
      if (log && !outcome.child && !opt_.gdb_port) check_replay_end(*log, *journal, outcome.result);
    } catch (const std::exception& e) {
      if (recorder) recorder->flush();
      if (!child_) {
        if (record_) record_->publish(opt_.io.stderr_fd);  // what there is: its replay says it is incomplete
        throw;
      }
      std::string line = std::string("tavik-run: ") + e.what() + "\n";
      ssize_t ignored = ::write(opt_.io.stderr_fd, line.data(), line.size());
      (void)ignored;
      end_child(nullptr);
    }
    if (!outcome.child) {
      if (recorder) {
        recorder->add(end_record(outcome.result, outcome.counted));
        recorder->flush();
      }
      if (child_) end_child(&outcome.result);
      if (record_) record_->publish(opt_.io.stderr_fd);
      return std::move(outcome.result);
    }
    // This host process was just forked by a spawn: the parent's process is gone, the child starts here. What the
    // parent had not yet written of its records is the parent's.
    if (recorder) recorder->abandon();
    parent_serial_ = serial_;
    start = std::move(*outcome.child);
    become_child(start);
  }
}

}  // namespace tavik
