// The faults that end a process and the limits that stop one: one row each, read by the report, the JSON trace,
// the exit status, a parent's waitpid and the debugger.
#include <signal.h>

#include "tavik/run.hpp"

namespace tavik {
namespace {

struct FaultRow {
  FaultKind kind;
  const char* name;
  const char* words;
  int signal;
  const char* signal_name;
};

constexpr FaultRow kFaults[] = {
    {FaultKind::PageFault, "page_fault", "page fault", SIGSEGV, "SIGSEGV"},
    {FaultKind::GeneralProtection, "general_protection", "general protection fault", SIGSEGV, "SIGSEGV"},
    {FaultKind::InvalidOpcode, "invalid_opcode", "invalid opcode", SIGILL, "SIGILL"},
    {FaultKind::DivideError, "divide_error", "divide error", SIGFPE, "SIGFPE"},
    {FaultKind::Breakpoint, "breakpoint", "breakpoint", SIGTRAP, "SIGTRAP"},
};

const FaultRow& row(FaultKind kind) { return kFaults[static_cast<int>(kind)]; }

}  // namespace

const char* fault_name(FaultKind kind) { return row(kind).name; }
const char* fault_words(FaultKind kind) { return row(kind).words; }
int fault_signal(FaultKind kind) { return row(kind).signal; }
const char* fault_signal_name(FaultKind kind) { return row(kind).signal_name; }
int fault_exit_code(FaultKind kind) { return 128 + row(kind).signal; }

const char* limit_name(Limit limit) {
  switch (limit) {
    case Limit::InsnLimit: return "insn_limit";
    case Limit::Timeout: return "timeout";
    case Limit::Debugger: return "debugger";
    case Limit::Terminated: return "terminated";
  }
  return "?";
}

int RunResult::host_exit_code() const {
  switch (end) {
    case End::Exit: return status & 0xff;
    case End::Fault: return fault_exit_code(fault.kind);
    case End::Killed: return 128 + SIGKILL;
    case End::NotRun: return 125;
  }
  return 125;
}

}  // namespace tavik
