// CpuEvents: the hooks, and the classification of how an emulation stopped.
#include "process/cpu_events.hpp"

#include "cpu/guest_code.hpp"

#include "kernel/dispatcher.hpp"
#include "cpu/machine.hpp"
#include "kernel/process_end.hpp"
#include "replay/history.hpp"

#include <x86intrin.h>

namespace tavik {
namespace {

// Whether the instruction at eip reads and writes back one memory operand (add [m], r; inc [m]; xchg): the
// emulator reports its fault at the read, while a CPU reports such an access as a write.
bool rewrites_memory(const Machine& m, uint32_t eip) {
  GuestCode code(m, eip, 16, 1);
  if (code.size() == 0) return false;
  const cs_x86& x86 = code[0].detail->x86;
  for (uint8_t i = 0; i < x86.op_count; ++i) {
    const cs_x86_op& op = x86.operands[i];
    if (op.type == X86_OP_MEM && (op.access & CS_AC_READ) && (op.access & CS_AC_WRITE)) return true;
  }
  return false;
}

}  // namespace

uint32_t untranslatable_in(const Machine& m, uint32_t start) {
  GuestCode code(m, start, 1024, 0);
  size_t n = code.size();
  if (n == 0) return start;
  uint32_t at = static_cast<uint32_t>(code[n - 1].address + code[n - 1].size);
  for (size_t i = 0; i < n; ++i) {
    for (cs_group_type g : {CS_GRP_JUMP, CS_GRP_CALL, CS_GRP_RET, CS_GRP_INT, CS_GRP_IRET})
      if (code.in_group(i, g)) return start;
  }
  return at - start >= code.bytes_read() ? start : at;
}

CpuEvents::CpuEvents(Machine& m, ProcessEnd& end, Dispatcher& calls, std::optional<uint64_t> tsc, History* history)
    : m_(m), end_(end), calls_(calls), tsc_(tsc), history_(history && history->active() ? history : nullptr) {}

void CpuEvents::install() {
  m_.on_interrupt(&CpuEvents::on_interrupt, this);
  m_.on_bad_access(&CpuEvents::on_bad_access, this);
  // Port I/O runs at any level in the emulator; from user mode it is a protection fault.
  m_.on_instruction(UC_X86_INS_IN, reinterpret_cast<void*>(&CpuEvents::on_in), this);
  m_.on_instruction(UC_X86_INS_OUT, reinterpret_cast<void*>(&CpuEvents::on_out), this);
  // The fast system-call instructions are not this kernel's interface (the emulator would let them pass as
  // no-ops): sysenter with no entry point set up is a protection fault, syscall in 32-bit mode is undefined.
  m_.on_instruction(UC_X86_INS_SYSENTER, reinterpret_cast<void*>(&CpuEvents::on_sysenter), this);
  m_.on_instruction(UC_X86_INS_SYSCALL, reinterpret_cast<void*>(&CpuEvents::on_syscall_insn), this);
  // A kept run keeps what the counter read too (the host's counter, without --tsc).
  if (tsc_ || history_) {
    m_.on_instruction(UC_X86_INS_RDTSC, reinterpret_cast<void*>(&CpuEvents::on_rdtsc), this);
    m_.on_instruction(UC_X86_INS_RDTSCP, reinterpret_cast<void*>(&CpuEvents::on_rdtscp), this);
  }
}

void CpuEvents::on_interrupt(uc_engine*, uint32_t intno, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->end_.guarded([&] { e->interrupt(intno); });
}

void CpuEvents::interrupt(uint32_t intno) {
  if (!end_.running()) {
    m_.stop();
    return;
  }
  uint32_t eip = m_.reg(UC_X86_REG_EIP);
  // A software int N and a CPU exception with vector N reach this hook alike; the int leaves eip after
  // its two bytes CD N, an exception leaves eip at the faulting instruction.
  uint8_t before[2] = {0, 0};
  bool soft_int = eip >= 2 && m_.peek(eip - 2, before, 2) && before[0] == 0xCD && before[1] == intno;
  if (intno == 0x80 && soft_int) {
    calls_.dispatch();
    return;
  }
  uint8_t prev = 0;
  bool has_prev = eip >= 1 && m_.peek(eip - 1, &prev, 1);
  if (intno == 3 && has_prev && prev == 0xCC) return end_.fault(FaultKind::Breakpoint, eip - 1);
  if (intno == 3 && soft_int) return end_.fault(FaultKind::Breakpoint, eip - 2);
  // Every other vector's gate is kernel-only: int N from user mode is a protection fault at the int.
  if (soft_int) return end_.fault(FaultKind::GeneralProtection, eip - 2);
  if (intno == 4 && has_prev && prev == 0xCE) return end_.fault(FaultKind::GeneralProtection, eip - 1);
  if (intno == 0) return end_.fault(FaultKind::DivideError, eip);
  if (intno == 1) return end_.fault(FaultKind::Breakpoint, eip);
  if (intno == 6) return end_.fault(FaultKind::InvalidOpcode, eip);
  end_.fault(FaultKind::GeneralProtection, eip);
}

bool CpuEvents::on_bad_access(uc_engine*, uc_mem_type type, uint64_t addr, int, int64_t, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->bad_access_ = true;
  e->bad_type_ = type;
  e->bad_addr_ = static_cast<uint32_t>(addr);
  return false;
}

uint32_t CpuEvents::on_in(uc_engine*, uint32_t, int, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->end_.guarded([&] { e->end_.fault(FaultKind::GeneralProtection, e->m_.reg(UC_X86_REG_EIP)); });
  return 0;
}

void CpuEvents::on_out(uc_engine*, uint32_t, int, uint32_t, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->end_.guarded([&] { e->end_.fault(FaultKind::GeneralProtection, e->m_.reg(UC_X86_REG_EIP)); });
}

uint32_t CpuEvents::fast_call_site(uint8_t second) {
  uint32_t eip = m_.reg(UC_X86_REG_EIP);
  uint8_t code[2];
  if (m_.peek(eip, code, 2) && code[0] == 0x0F && code[1] == second) return eip;
  return eip - 2;
}

void CpuEvents::on_sysenter(uc_engine*, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->end_.guarded([&] { e->end_.fault(FaultKind::GeneralProtection, e->fast_call_site(0x34)); });
}

void CpuEvents::on_syscall_insn(uc_engine*, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->end_.guarded([&] { e->end_.fault(FaultKind::InvalidOpcode, e->fast_call_site(0x05)); });
}

int CpuEvents::on_rdtsc(uc_engine*, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->end_.guarded([&] {
    uint64_t value = e->tsc_ ? (*e->tsc_)++ : __rdtsc();
    if (e->history_) value = e->history_->tsc(value);
    e->m_.set_reg(UC_X86_REG_EAX, static_cast<uint32_t>(value));
    e->m_.set_reg(UC_X86_REG_EDX, static_cast<uint32_t>(value >> 32));
  });
  return 1;  // the counter is ours: the instruction stores nothing of its own
}

int CpuEvents::on_rdtscp(uc_engine* uc, void* self) {
  auto* e = static_cast<CpuEvents*>(self);
  e->end_.guarded([&] { e->m_.set_reg(UC_X86_REG_ECX, 0); });  // the processor number: there is one
  return on_rdtsc(uc, self);
}

std::optional<uint32_t> CpuEvents::bad_fetch(uc_err err) const {
  bool fetch = bad_type_ == UC_MEM_FETCH_UNMAPPED || bad_type_ == UC_MEM_FETCH_PROT;
  if (!end_.running() || !bad_access_ || err == UC_ERR_OK || !fetch) return std::nullopt;
  return bad_addr_;
}

void CpuEvents::classify(uc_err err) {
  if (!end_.running()) return;
  uint32_t eip = m_.reg(UC_X86_REG_EIP);
  if (bad_access_ && err != UC_ERR_OK) {
    std::string access = "read";
    if (bad_type_ == UC_MEM_WRITE_UNMAPPED || bad_type_ == UC_MEM_WRITE_PROT) access = "write";
    if (bad_type_ == UC_MEM_FETCH_UNMAPPED || bad_type_ == UC_MEM_FETCH_PROT) access = "exec";
    if (access == "read" && rewrites_memory(m_, eip)) access = "write";
    end_.fault(FaultKind::PageFault, access == "exec" ? bad_addr_ : eip, bad_addr_, access);
  } else if (err == UC_ERR_INSN_INVALID) {
    end_.fault(FaultKind::InvalidOpcode, eip);
  } else if (err == UC_ERR_OK && eip == 0) {
    // The emulation's end address is 0, which is never mapped: reaching it is an execution fault there.
    end_.fault(FaultKind::PageFault, 0, 0, "exec");
  } else if (err == UC_ERR_OK) {
    // Stopped without a request: hlt ends the emulation quietly; in user mode it is a protection fault.
    uint8_t prev = 0;
    bool after_hlt = eip >= 1 && m_.peek(eip - 1, &prev, 1) && prev == 0xF4;
    end_.fault(FaultKind::GeneralProtection, after_hlt ? eip - 1 : eip);
  } else {
    end_.fault(FaultKind::GeneralProtection, eip);
  }
}

}  // namespace tavik
