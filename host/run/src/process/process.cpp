// Process: start, run, and turn however the emulation stopped into an exit, a fault or a kill.
#include "process/process.hpp"

#include <unistd.h>

#include "cpu/address_space.hpp"
#include "report/backtrace.hpp"
#include "report/coverage.hpp"
#include "base/errors.hpp"
#include "report/fault_report.hpp"
#include "gdb/gdb_stub.hpp"
#include "cpu/image.hpp"
#include "kernel/process_tree.hpp"
#include "report/profile.hpp"
#include "kernel/spawn.hpp"
#include "kernel/termination.hpp"
#include "base/strf.hpp"
#include "report/trace.hpp"
#include "cpu/translator_trap.hpp"

namespace tavik {

Process::Process(Image& image, std::vector<std::string> argv, std::string name, const RunOptions& opt,
                 Sandbox& fs, FdTable& fds, ProcessTree& tree, Trace& trace)
    : image_(image),
      argv_(std::move(argv)),
      name_(std::move(name)),
      opt_(opt),
      fs_(fs),
      fds_(fds),
      tree_(tree),
      trace_(trace),
      end_(m_),
      deadline_(m_, tree.deadline()),
      kernel_(m_, end_, deadline_, fs, fds, tree, trace, opt),
      calls_(kernel_),
      events_(m_, end_, calls_, opt.tsc),
      count_(m_, end_, deadline_, tree) {}

Process::~Process() = default;

uc_err Process::emulate() {
  uc_err err = UC_ERR_OK;
  std::jmp_buf trap;
  if (setjmp(trap) == 0) {
    set_translator_trap(&trap);
    err = uc_emu_start(m_.uc(), kTrampoline, 0, 0, 0);
  } else {
    // The translator gave up on the block at eip: to the guest, an invalid opcode in it.
    err = UC_ERR_INSN_INVALID;
    m_.set_reg(UC_X86_REG_EIP, untranslatable_in(m_, m_.reg(UC_X86_REG_EIP)));
  }
  set_translator_trap(nullptr);
  return err;
}

RunResult Process::run(const std::function<void(Machine&)>& before_start) {
  build_address_space(m_, image_, argv_, opt_.stack_size);
  image_.drop_segment_bytes();
  events_.install();
  bool counting = opt_.count_insns || opt_.insn_limit != 0;
  if (counting) count_.install();
  if (!opt_.coverage_file.empty()) {
    coverage_ = std::make_unique<Coverage>(m_);
    coverage_->install();
  }
  if (!opt_.profile_file.empty()) {
    profile_ = std::make_unique<Profile>(m_, image_);
    profile_->install();
  }
  if (opt_.gdb_port) {
    gdb_ = std::make_unique<GdbStub>(m_, opt_.gdb_port);
    std::string waiting = strf("tavik-run: waiting for gdb on 127.0.0.1:%d\n", opt_.gdb_port);
    ssize_t ignored = ::write(opt_.stderr_fd, waiting.data(), waiting.size());
    (void)ignored;
    gdb_->attach(image_.entry());
  }
  if (before_start) before_start(m_);
  deadline_.start(counting);
  watch_termination(&m_);
  uc_err err = emulate();
  watch_termination(nullptr);
  if (end_.state() == ProcessEnd::State::Child) {
    // A freshly forked child is this thread alone: the watchdog thread stayed in the parent, and it may have held
    // its mutex at the fork, so the deadline is left untouched. The parent's emulator is never entered again here;
    // holding it would make every generation of a chain of spawns carry all its ancestors' memory.
    ChildStart start = end_.take_child();
    m_.close();
    image_.drop_contents();
    run_spawned_child(std::move(start), opt_, fs_, fds_, tree_, trace_.sinks());
  }
  deadline_.finish();
  end_children(kernel_);
  settle_end(err);
  std::string why;
  if (coverage_ && !coverage_->append(image_, opt_.coverage_file, why)) throw EmulatorError(why);
  if (profile_ && !profile_->write(profile_path(), command_line(), why)) throw EmulatorError(why);
  return make_known();
}

void Process::settle_end(uc_err err) {
  if (gdb_ && gdb_->killed()) end_.kill(Limit::Debugger);
  if (!end_.host_error().empty()) throw EmulatorError(end_.host_error());
  if (termination_requested()) end_.kill(Limit::Terminated);
  if (deadline_.reached()) end_.kill(Limit::Timeout);
  events_.classify(err);
  if (end_.state() != ProcessEnd::State::Faulted) return;
  count_.settle_at_fault(end_.fault().eip);
  if (profile_) profile_->settle_at_fault(end_.fault().eip);
}

// Each process of a tree has a profile of its own: the first writes FILE, a spawned one FILE.PID.
std::string Process::profile_path() const {
  int pid = ::getpid();
  return pid == tree_.root() ? opt_.profile_file : strf("%s.%d", opt_.profile_file.c_str(), pid);
}

std::string Process::command_line() const {
  std::string line;
  for (const std::string& arg : argv_) line += (line.empty() ? "" : " ") + arg;
  return line;
}

// A limit that stopped the guest says where it was, as a fault report does; other kills (the debugger's, a
// termination) were asked for and say nothing.
void Process::report_stop(Limit limit) {
  if (limit != Limit::Timeout && limit != Limit::InsnLimit) {
    trace_.end_killed(limit_name(limit), nullptr);
    return;
  }
  uint32_t eip = m_.reg(UC_X86_REG_EIP);
  Backtrace bt = Backtrace::of(image_, m_, eip);
  trace_.end_killed(limit_name(limit), &bt);
  std::string line = FaultReport::render_stop(name_, limit, eip, image_, bt);
  ssize_t ignored = ::write(opt_.stderr_fd, line.data(), line.size());
  (void)ignored;
}

RunResult Process::make_known() {
  RunResult res;
  res.instructions = count_.executed();
  switch (end_.state()) {
    case ProcessEnd::State::Exited:
      if (gdb_) gdb_->report_exit(end_.status());
      res.end = RunResult::End::Exit;
      res.status = end_.status();
      trace_.end_exit(end_.status());
      break;
    case ProcessEnd::State::Faulted: {
      if (gdb_) {
        // The debugger sees the machine at the faulting instruction, with the signal a Unix debugger expects.
        m_.set_reg(UC_X86_REG_EIP, end_.fault().eip);
        gdb_->report_fault(fault_signal(end_.fault().kind));
      }
      res.end = RunResult::End::Fault;
      res.fault = end_.fault();
      Backtrace bt = Backtrace::of(image_, m_, res.fault.eip);
      trace_.end_fault(res.fault, bt);
      std::string report = FaultReport::render(name_, res.fault, image_, m_, bt);
      ssize_t ignored = ::write(opt_.stderr_fd, report.data(), report.size());
      (void)ignored;
      break;
    }
    default:
      res.end = RunResult::End::Killed;
      res.killed = end_.limit();
      report_stop(res.killed);
      break;
  }
  if (opt_.count_insns) {
    std::string line = strf("instructions: %llu\n", static_cast<unsigned long long>(count_.executed()));
    ssize_t ignored = ::write(opt_.stderr_fd, line.data(), line.size());
    (void)ignored;
  }
  return res;
}

}  // namespace tavik
