// Process: start, run, and turn however the emulation stopped into an exit, a fault, a kill or a child to start.
#include "process/process.hpp"

#include <unistd.h>

#include "base/errors.hpp"
#include "base/strf.hpp"
#include "cpu/address_space.hpp"
#include "cpu/image.hpp"
#include "cpu/translator_trap.hpp"
#include "gdb/gdb_stub.hpp"
#include "replay/timeline.hpp"
#include "kernel/shared_counters.hpp"
#include "kernel/spawn.hpp"
#include "kernel/termination.hpp"
#include "process/address_sanitizer.hpp"
#include "process/memcheck.hpp"
#include "process/undefined_behaviour.hpp"
#include "report/backtrace.hpp"
#include "report/coverage.hpp"
#include "report/fault_report.hpp"
#include "report/profile.hpp"
#include "report/report_files.hpp"
#include "report/trace.hpp"

namespace tavik {

Process::Process(Image& image, std::vector<std::string> argv, std::string name, const ProcessSetup& setup)
    : image_(image),
      argv_(std::move(argv)),
      name_(std::move(name)),
      opt_(setup.opt),
      setup_(setup),
      end_(m_),
      deadline_(m_, setup.counters.deadline()),
      kernel_(m_, end_, deadline_, setup.fs, setup.fds, setup.counters, setup.trace, setup.opt.limits),
      history_(kernel_, setup.history),
      calls_(kernel_, setup.opt.injects, &history_),
      events_(m_, end_, calls_, setup.opt.tsc, &history_),
      count_(m_, end_, deadline_, setup.counters) {}

Process::~Process() = default;

uc_err Process::emulate(uint32_t from) {
  uc_err err = UC_ERR_OK;
  std::jmp_buf trap;
  if (setjmp(trap) == 0) {
    set_translator_trap(&trap);
    err = m_.run_from(from);
  } else {
    // The translator gave up on the block at eip: to the guest, an invalid opcode in it.
    err = UC_ERR_INSN_INVALID;
    m_.set_reg(UC_X86_REG_EIP, untranslatable_in(m_, m_.reg(UC_X86_REG_EIP)));
  }
  set_translator_trap(nullptr);
  return err;
}

// The hooks a run asks for: memcheck's first when asked (a system call's buffer is checked before the call runs),
// the address sanitizer's when the image was built with it, the CPU's events always, the counters and reports when asked, the library's abort and assert, the
// undefined-behaviour reports, and the debugger (which waits for gdb to connect).
void Process::install_hooks(bool counting) {
  CheckerContext checker{m_, image_, end_, setup_.trace, name_, opt_.io.stderr_fd};
  if (opt_.check.memcheck) {
    memcheck_ = std::make_unique<Memcheck>(checker, stack_base(opt_.limits.stack_size));
    memcheck_->install();
  }
  // Code built with -fsanitize=address gets its shadow and its heap from the kit, which reports its errors.
  if (AddressSanitizer::built_into(image_)) {
    if (memcheck_)
      throw SetupError("--memcheck: this image checks its own memory (it was built with -fsanitize=address)");
    asan_ = std::make_unique<AddressSanitizer>(checker, stack_base(opt_.limits.stack_size));
    asan_->install();
  }
  events_.install();
  if (counting) count_.install();
  if (setup_.reports.coverage()) {
    coverage_ = std::make_unique<Coverage>(m_);
    coverage_->install();
  }
  if (setup_.reports.profile()) {
    profile_ = std::make_unique<Profile>(m_, image_);
    profile_->install();
  }
  // The library's abort ends a program with status 1 and says nothing: the kit says where it was called.
  if (std::optional<uint32_t> abort_at = image_.function_named("abort"))
    m_.on_instruction_at(*abort_at, &Process::on_abort, this);
  if (std::optional<uint32_t> assert_at = image_.function_named("__tavik_assert_fail"))
    m_.on_instruction_at(*assert_at, &Process::on_assert, this);
  // Code built with -fsanitize=undefined reports through the SDK's runtime.
  ub_ = std::make_unique<UndefinedBehaviour>(checker);
  ub_->install();
  if (opt_.gdb_port) {
    gdb_ = std::make_unique<GdbStub>(m_, opt_.gdb_port);
    if (memcheck_) memcheck_->set_debugger(gdb_.get());
    // Going back in time re-executes from checkpoints: the checkers' own state (the heap they track) has none.
    if (setup_.history.journal && !memcheck_ && !asan_) {
      timeline_ = std::make_unique<Timeline>(m_, *setup_.history.journal, counting ? count_.counter() : nullptr,
                                             opt_.replay.history_memory);
      gdb_->enable_reverse(timeline_.get());
    }
    say(strf("tavik-run: waiting for gdb on 127.0.0.1:%d\n", opt_.gdb_port));
    if (!gdb_->attach(image_.entry())) end_.kill(Limit::Terminated);
  }
}

// Runs the guest from `from` (its first instruction: the trampoline) to the emulation's end.
uc_err Process::run_guest(uint32_t from) {
  uc_err err = end_.running() ? emulate(from) : UC_ERR_OK;
  // A function gdb calls returns to a breakpoint on the stack, which cannot be executed: that is gdb's stop, and
  // the guest goes on from where gdb puts it.
  while (gdb_) {
    std::optional<uint32_t> at = events_.bad_fetch(err);
    if (!at) break;
    uint32_t eip = m_.reg(UC_X86_REG_EIP);
    m_.set_reg(UC_X86_REG_EIP, *at);
    if (!gdb_->stop_at_unfetchable(*at)) {
      m_.set_reg(UC_X86_REG_EIP, eip);  // a fault after all, reported as the emulation left it
      break;
    }
    events_.forget_bad_access();
    err = end_.running() ? emulate(m_.reg(UC_X86_REG_EIP)) : UC_ERR_OK;
  }
  return err;
}

Process::Outcome Process::run(const std::function<void(Machine&)>& before_start) {
  build_address_space(m_, image_, argv_, opt_.limits.stack_size);
  image_.drop_segment_bytes();
  // A recorded run that a time limit may stop counts, so that its replay stops at the same instruction; so does
  // the replay of a run that was stopped so.
  const record::End* replay_end = setup_.history.replay_end;
  bool stop_counted = replay_end && replay_end->how == RunResult::End::Killed && replay_end->counted;
  bool counting = opt_.measure.count_insns || opt_.limits.insn_limit != 0 || stop_counted ||
                  (setup_.history.recorder && opt_.limits.timeout > 0);
  install_hooks(counting);
  if (stop_counted) count_.stop_after(replay_end->insns, replay_end->limit);
  if (before_start) before_start(m_);
  deadline_.start(counting);
  watch_termination(&m_);
  uc_err err = run_guest(kTrampoline);
  // At a fault the debugger may take the process back in time: it runs again from there.
  while (went_back(err)) err = run_guest(m_.reg(UC_X86_REG_EIP));
  watch_termination(nullptr);
  if (end_.state() == ProcessEnd::State::Child) {
    // A freshly forked child: the parent's emulator, watchdog and instruction lease are the parent's, and this
    // process's image goes before the child's is started.
    deadline_.abandon();
    count_.forget_lease();
    m_.close();
    image_.drop_contents();
    return {RunResult{}, end_.take_child(), false};
  }
  deadline_.finish();
  end_children(kernel_);
  settle_end(err);
  write_reports();
  return {make_known(), std::nullopt, counting};
}

// A fault the debugger is told of here, before the end is settled: true when it went back in time.
bool Process::went_back(uc_err err) {
  if (!gdb_ || gdb_->killed() || !end_.host_error().empty() || termination_requested() || deadline_.reached())
    return false;
  events_.classify(err);
  if (end_.state() != ProcessEnd::State::Faulted) return false;
  const FaultInfo& fault = end_.fault();
  // The debugger sees the machine at the faulting instruction, with the signal a Unix debugger expects.
  m_.set_reg(UC_X86_REG_EIP, fault.eip);
  if (!gdb_->report_fault(fault_signal(fault.kind), fault.access != "exec")) return false;
  end_.undo_fault();
  events_.forget_bad_access();
  return true;
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

// A report that cannot be written is said, and the guest's own end still decides the status: a test runner
// keeps the crash it would have seen.
void Process::write_reports() {
  std::string why;
  if (coverage_ && !setup_.reports.append_coverage(coverage_->render(image_), why)) say("tavik-run: " + why + "\n");
  why.clear();
  if (profile_ && !setup_.reports.write_profile(profile_->render(command_line()), why)) say("tavik-run: " + why + "\n");
}

std::string Process::command_line() const {
  std::string line;
  for (const std::string& arg : argv_) line += (line.empty() ? "" : " ") + arg;
  return line;
}

void Process::on_abort(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* p = static_cast<Process*>(self);
  if (p->said_why_) return;
  p->end_.guarded([&] {
    uint32_t eip = static_cast<uint32_t>(addr);
    p->say(FaultReport::render_abort(p->name_, eip, p->image_, Backtrace::of(p->image_, p->m_, eip, true)));
  });
}

// assert.h's failure function, at its entry: its arguments (expression, file, line, function) are on the stack
// above the return address.
void Process::on_assert(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* p = static_cast<Process*>(self);
  p->end_.guarded([&] {
    uint32_t args[5] = {};
    if (p->m_.read_bytes(p->m_.reg(UC_X86_REG_ESP), args, sizeof args) != 0) return;
    std::string expression, file, function;
    constexpr uint32_t kLongest = 512;
    if (p->m_.read_cstring(args[1], expression, kLongest) == -TAVIK_ENAMETOOLONG) expression += "...";
    p->m_.read_cstring(args[2], file, kLongest);
    p->m_.read_cstring(args[4], function, kLongest);
    uint32_t eip = static_cast<uint32_t>(addr);
    Backtrace bt = Backtrace::of(p->image_, p->m_, eip, true);
    p->say(FaultReport::render_assert(p->name_, expression, file, static_cast<int32_t>(args[3]), function, bt));
    p->said_why_ = true;
  });
}

void Process::say(const std::string& text) const {
  ssize_t ignored = ::write(opt_.io.stderr_fd, text.data(), text.size());
  (void)ignored;
}

// A limit or a termination that stopped the guest says where it was, as a fault report does; the debugger's kill
// was asked for at the debugger and says nothing.
void Process::report_stop(Limit limit) {
  if (limit == Limit::Debugger) {
    setup_.trace.end_killed(limit_name(limit), nullptr);
    return;
  }
  uint32_t eip = m_.reg(UC_X86_REG_EIP);
  Backtrace bt = Backtrace::of(image_, m_, eip);
  setup_.trace.end_killed(limit_name(limit), &bt);
  say(FaultReport::render_stop(name_, limit, eip, image_, bt));
}

RunResult Process::make_known() {
  RunResult res;
  res.instructions = count_.executed();
  if (memcheck_) {
    MemcheckSummary summary = memcheck_->summary();
    say(render_memcheck_summary(name_, summary));
    setup_.trace.memcheck_summary(summary);
  }
  switch (end_.state()) {
    case ProcessEnd::State::Exited: {
      // A checked process that found an error says so by its status when asked to.
      bool errors = memcheck_ && memcheck_->errors() && opt_.check.error_exitcode;
      int32_t status = errors ? *opt_.check.error_exitcode : end_.status();
      if (gdb_) gdb_->report_exit(status);
      res.end = RunResult::End::Exit;
      res.status = status;
      setup_.trace.end_exit(status);
      break;
    }
    case ProcessEnd::State::Faulted: {
      if (gdb_) m_.set_reg(UC_X86_REG_EIP, end_.fault().eip);  // told at went_back
      res.end = RunResult::End::Fault;
      res.fault = end_.fault();
      Backtrace bt = Backtrace::of(image_, m_, res.fault.eip);
      setup_.trace.end_fault(res.fault, bt);
      say(FaultReport::render(name_, res.fault, image_, m_, bt, stack_base(opt_.limits.stack_size)));
      break;
    }
    default:
      res.end = RunResult::End::Killed;
      res.killed = end_.limit();
      report_stop(res.killed);
      break;
  }
  if (opt_.measure.count_insns)
    say(strf("instructions: %llu\n", static_cast<unsigned long long>(count_.executed())));
  return res;
}

}  // namespace tavik
