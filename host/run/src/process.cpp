// Process: builds the address space, drops to ring 3, runs, and turns however the emulation stopped into an
// exit, a fault or a kill.
#include "process.hpp"

#include "gdb_stub.hpp"

#include <capstone/capstone.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "errors.hpp"
#include "fault_report.hpp"
#include "fd_table.hpp"
#include "limits.hpp"
#include "sandbox.hpp"
#include "syscalls.hpp"
#include "trace.hpp"
#include "translator_trap.hpp"

namespace tavik {
namespace {

// The system page, above the stack: the GDT, and the one-instruction trampoline (iret) that enters ring 3.
// It is read-only to the guest; the descriptors have their accessed bits preset so the CPU never writes them.
constexpr uint32_t kSystemPage = 0xFFFFF000u;
constexpr uint32_t kTrampoline = kSystemPage + 0x800;
// How often the block hook reads the clock under a time limit: often enough for a millisecond's precision.
constexpr uint32_t kBlocksPerClockCheck = 1024;
constexpr uint16_t kKernelData = 0x10, kUserCode = 0x1B, kUserData = 0x23;

uint64_t descriptor(uint8_t access) {
  // Flat 4 GiB segment: base 0, limit 0xFFFFF in pages, 32-bit.
  const uint64_t limit = 0xFFFFF;
  return (limit & 0xFFFF) | (uint64_t(access) << 40) | (((limit >> 16) & 0xF) << 48) | (uint64_t(0xC) << 52);
}

uint64_t round_page(uint64_t n) { return (n + kPage - 1) / kPage * kPage; }

// The instruction of the block at start that the translator gave up on: the first one the disassembler cannot
// decode either, before the block's first branch; start itself when that cannot be told.
uint32_t untranslatable_in(const GuestMemory& mem, uint32_t start) {
  uint8_t code[1024];
  uint32_t len = mem.span(start, sizeof code, UC_PROT_NONE);
  csh cs;
  if (len == 0 || !mem.peek(start, code, len) || cs_open(CS_ARCH_X86, CS_MODE_32, &cs) != CS_ERR_OK) return start;
  cs_option(cs, CS_OPT_DETAIL, CS_OPT_ON);
  cs_insn* insn = nullptr;
  size_t n = cs_disasm(cs, code, len, start, 0, &insn);
  uint32_t at = n == 0 ? start : static_cast<uint32_t>(insn[n - 1].address + insn[n - 1].size);
  for (size_t i = 0; i < n; ++i) {
    if (cs_insn_group(cs, &insn[i], CS_GRP_JUMP) || cs_insn_group(cs, &insn[i], CS_GRP_CALL) ||
        cs_insn_group(cs, &insn[i], CS_GRP_RET) || cs_insn_group(cs, &insn[i], CS_GRP_INT) ||
        cs_insn_group(cs, &insn[i], CS_GRP_IRET)) {
      at = start;
      break;
    }
  }
  if (at - start >= len) at = start;
  if (n) cs_free(insn, n);
  cs_close(&cs);
  return at;
}
// Whether the instruction at eip reads and writes back one memory operand (add [m], r; inc [m]; xchg): the
// emulator reports its fault at the read, while a CPU reports such an access as a write.
bool rewrites_memory(const GuestMemory& mem, uint32_t eip) {
  uint8_t code[16];
  uint32_t len = mem.span(eip, sizeof code, UC_PROT_NONE);
  csh cs;
  if (len == 0 || !mem.peek(eip, code, len) || cs_open(CS_ARCH_X86, CS_MODE_32, &cs) != CS_ERR_OK) return false;
  cs_option(cs, CS_OPT_DETAIL, CS_OPT_ON);
  cs_insn* insn = nullptr;
  bool rewrites = false;
  if (cs_disasm(cs, code, len, eip, 1, &insn) == 1) {
    const cs_x86& x86 = insn[0].detail->x86;
    for (uint8_t i = 0; i < x86.op_count; ++i) {
      const cs_x86_op& op = x86.operands[i];
      if (op.type == X86_OP_MEM && (op.access & CS_AC_READ) && (op.access & CS_AC_WRITE)) rewrites = true;
    }
    cs_free(insn, 1);
  }
  cs_close(&cs);
  return rewrites;
}

}  // namespace

Process::Process(const ElfImage& image, std::vector<std::string> argv, std::string name, const RunOptions& opt,
                 Sandbox& sandbox, FdTable& fds, Trace& trace)
    : image_(image),
      argv_(std::move(argv)),
      name_(std::move(name)),
      opt_(opt),
      sandbox_(sandbox),
      fds_(fds),
      trace_(trace),
      syscalls_(std::make_unique<Syscalls>(*this, sandbox, fds, trace)) {}

Process::~Process() { stop_watchdog(); }

void Process::build_address_space() {
  uint32_t stack_size = static_cast<uint32_t>(std::max<uint64_t>(round_page(opt_.stack_size), 4 * kPage));
  if (stack_size > kStackTop / 2) throw LoadError(strf("stack size %#x is too large", stack_size));
  uint32_t stack_base = kStackTop - stack_size;
  for (const Segment& s : image_.segments()) {
    if (uint64_t(s.vaddr) + round_page(s.memsz) > stack_base)
      throw LoadError(strf("segment at %#x overlaps the stack (%#x..%#x)", s.vaddr, stack_base, kStackTop));
    mem_.map(s.vaddr, static_cast<uint32_t>(round_page(s.memsz)), s.perms);
    mem_.poke(s.vaddr, s.bytes.data(), s.bytes.size());  // beyond filesz the fresh mapping is already zero
  }
  mem_.map(stack_base, stack_size, UC_PROT_READ | UC_PROT_WRITE);

  // Initial stack: argc, the argument pointers inline, a null pointer, and the strings above them.
  size_t strings = 0;
  for (const std::string& a : argv_) strings += a.size() + 1;
  size_t needed = strings + (argv_.size() + 2) * 4 + 64;
  if (needed > stack_size / 2) throw LoadError(strf("arguments of %zu bytes do not fit the stack", strings));
  uint32_t at = kStackTop - 16;
  std::vector<uint32_t> words{static_cast<uint32_t>(argv_.size())};
  std::vector<uint32_t> ptrs;
  for (const std::string& a : argv_) {
    at -= static_cast<uint32_t>(a.size() + 1);
    mem_.poke(at, a.c_str(), a.size() + 1);
    ptrs.push_back(at);
  }
  words.insert(words.end(), ptrs.begin(), ptrs.end());
  words.push_back(0);
  uint32_t esp = (at - static_cast<uint32_t>(words.size() * 4)) & ~15u;
  mem_.poke(esp, words.data(), words.size() * 4);

  // The system page.
  mem_.map(kSystemPage, kPage, UC_PROT_READ | UC_PROT_EXEC);
  uint64_t gdt[5] = {0, descriptor(0x9B), descriptor(0x93), descriptor(0xFB), descriptor(0xF3)};
  mem_.poke(kSystemPage, gdt, sizeof gdt);
  const uint8_t iret = 0xCF;
  mem_.poke(kTrampoline, &iret, 1);
  uc_x86_mmr gdtr{};
  gdtr.base = kSystemPage;
  gdtr.limit = sizeof gdt - 1;
  uc_check(uc_reg_write(mem_.uc(), UC_X86_REG_GDTR, &gdtr), "uc_reg_write(GDTR)");
  enter_ring3(esp);
}

void Process::enter_ring3(uint32_t esp) {
  // The emulator starts at privilege level 0, where hlt, cli and in/out would simply run. Loading a ring-3
  // SS directly is refused at level 0, so the start goes through an iret from a ring-0 stack, as a kernel's
  // return to user mode does.
  mem_.set_reg(UC_X86_REG_SS, kKernelData);
  for (int seg : {UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_FS, UC_X86_REG_GS}) mem_.set_reg(seg, kUserData);
  uint32_t frame[5] = {image_.entry(), kUserCode, 0x202, esp, kUserData};
  mem_.poke(esp - sizeof frame, frame, sizeof frame);
  for (int r : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI, UC_X86_REG_EDI,
                UC_X86_REG_EBP})
    mem_.set_reg(r, 0);
  mem_.set_reg(UC_X86_REG_ESP, esp - sizeof frame);
  // A new process gets the FPU as a kernel hands it over after fninit: extended precision, round to nearest,
  // every exception masked, every register empty. The emulator itself starts with a control word of 0.
  mem_.set_reg(UC_X86_REG_FPCW, 0x037f);
  mem_.set_reg(UC_X86_REG_FPTAG, 0xffff);
}

void Process::install_hooks() {
  uc_engine* uc = mem_.uc();
  uc_hook h;
  uc_check(uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&Process::on_interrupt), this, 1, 0),
           "uc_hook_add(INTR)");
  uc_check(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Process::on_bad_access), this, 1, 0),
           "uc_hook_add(MEM_INVALID)");
  // Port I/O runs at any level in the emulator; from user mode it is a protection fault.
  uc_check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Process::on_in), this, 1, 0, UC_X86_INS_IN),
           "uc_hook_add(IN)");
  uc_check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Process::on_out), this, 1, 0, UC_X86_INS_OUT),
           "uc_hook_add(OUT)");
  // The fast system-call instructions are not this kernel's interface (the emulator would let them pass as
  // no-ops): sysenter with no entry point set up is a protection fault, syscall in 32-bit mode is undefined.
  uc_check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Process::on_sysenter), this, 1, 0,
                       UC_X86_INS_SYSENTER),
           "uc_hook_add(SYSENTER)");
  uc_check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Process::on_syscall_insn), this, 1, 0,
                       UC_X86_INS_SYSCALL),
           "uc_hook_add(SYSCALL)");
  if (counts_blocks())
    uc_check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Process::on_block), this, 1, 0),
             "uc_hook_add(BLOCK)");
  if (opt_.tsc) {
    tsc_next_ = *opt_.tsc;
    uc_check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Process::on_rdtsc), this, 1, 0,
                         UC_X86_INS_RDTSC),
             "uc_hook_add(RDTSC)");
    uc_check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Process::on_rdtscp), this, 1, 0,
                         UC_X86_INS_RDTSCP),
             "uc_hook_add(RDTSCP)");
  }
}

void Process::start_watchdog() {
  if (opt_.timeout <= 0) return;
  deadline_ = std::chrono::steady_clock::now() +
              std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(opt_.timeout));
  // With the block hook in place it watches the clock itself: no second thread, whose mere presence makes every
  // unmapping of the emulator's memory interrupt the other processors.
  if (counts_blocks()) return;
  watchdog_ = std::thread([this] {
    std::unique_lock lock(watchdog_mutex_);
    if (watchdog_cv_.wait_until(lock, deadline_, [this] { return watchdog_done_; })) return;
    timed_out_ = true;
    // A stop asked for before the emulation has started is lost, so it is repeated until the run is over.
    do mem_.stop();
    while (!watchdog_cv_.wait_for(lock, std::chrono::milliseconds(10), [this] { return watchdog_done_; }));
  });
}

void Process::stop_watchdog() {
  if (!watchdog_.joinable()) return;
  {
    std::lock_guard lock(watchdog_mutex_);
    watchdog_done_ = true;
  }
  watchdog_cv_.notify_all();
  watchdog_.join();
}

void Process::sleep_us(uint64_t us) {
  auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
  if (opt_.timeout > 0) end = std::min(end, deadline_);
  std::this_thread::sleep_until(end);
  if (past_deadline()) stop_at_deadline();
}

// A call cut short by the time limit ends the run here: the guest must not go on (to its exit, say) before the
// watchdog thread, which a loaded host may wake late, gets to stop it.
void Process::stop_at_deadline() {
  timed_out_ = true;
  mem_.stop();
}

bool Process::wait_ready(int host_fd, short events) {
  if (!has_deadline()) return true;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      stop_at_deadline();
      return false;
    }
    pollfd p{host_fd, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count() + 1, 1 << 30)));
    if (r > 0 || (r < 0 && errno != EINTR)) return true;  // ready, or an error the call itself will report
  }
}

void Process::request_exit(int32_t status) {
  if (state_ != State::Running) return;
  state_ = State::Exited;
  status_ = status;
  mem_.stop();
}

void Process::become_child(ChildStart start) {
  child_ = std::move(start);
  state_ = State::Child;
  mem_.stop();
}

void Process::fault(const std::string& kind, uint32_t eip, uint32_t addr, const std::string& access) {
  if (state_ != State::Running) return;
  state_ = State::Faulted;
  fault_ = FaultInfo{kind, eip, addr, access};
  mem_.stop();
}

void Process::on_interrupt(uc_engine*, uint32_t intno, void* self) {
  auto* p = static_cast<Process*>(self);
  p->guarded([&] {
    if (p->state_ != State::Running) {
      p->mem_.stop();
      return;
    }
    uint32_t eip = p->mem_.reg(UC_X86_REG_EIP);
    // A software int N and a CPU exception with vector N reach this hook alike; the int leaves eip after
    // its two bytes CD N, an exception leaves eip at the faulting instruction.
    uint8_t before[2] = {0, 0};
    bool soft_int = eip >= 2 && p->mem_.peek(eip - 2, before, 2) && before[0] == 0xCD && before[1] == intno;
    if (intno == 0x80 && soft_int) {
      p->syscalls_->dispatch();
      return;
    }
    uint8_t prev = 0;
    bool has_prev = eip >= 1 && p->mem_.peek(eip - 1, &prev, 1);
    if (intno == 3 && has_prev && prev == 0xCC) return p->fault("breakpoint", eip - 1);
    if (intno == 3 && soft_int) return p->fault("breakpoint", eip - 2);
    // Every other vector's gate is kernel-only: int N from user mode is a protection fault at the int.
    if (soft_int) return p->fault("general_protection", eip - 2);
    if (intno == 4 && has_prev && prev == 0xCE) return p->fault("general_protection", eip - 1);
    if (intno == 0) return p->fault("divide_error", eip);
    if (intno == 1) return p->fault("breakpoint", eip);
    if (intno == 6) return p->fault("invalid_opcode", eip);
    p->fault("general_protection", eip);
  });
}

bool Process::on_bad_access(uc_engine*, uc_mem_type type, uint64_t addr, int, int64_t, void* self) {
  auto* p = static_cast<Process*>(self);
  p->bad_access_ = true;
  p->bad_type_ = type;
  p->bad_addr_ = static_cast<uint32_t>(addr);
  return false;
}

void Process::on_block(uc_engine* uc, uint64_t addr, uint32_t, void* self) {
  auto* p = static_cast<Process*>(self);
  if (addr == kTrampoline) return;
  uint32_t count;
  auto it = p->block_insns_.find(addr);
  if (it != p->block_insns_.end()) {
    count = it->second;
  } else {
    uc_tb tb{};
    if (uc_ctl_request_cache(uc, addr, &tb) != UC_ERR_OK) tb.icount = 1;
    count = tb.icount;
    p->block_insns_.emplace(addr, count);
  }
  if (p->opt_.insn_limit != 0 && p->executed_ + count > p->opt_.insn_limit && p->state_ == State::Running) {
    p->state_ = State::Killed;
    p->killed_ = "insn_limit";
    p->mem_.stop();
    return;
  }
  p->executed_ += count;
  p->last_block_ = addr;
  p->last_block_insns_ = count;
  if (p->has_deadline() && ++p->blocks_since_clock_ >= kBlocksPerClockCheck) {
    p->blocks_since_clock_ = 0;
    if (p->past_deadline()) p->stop_at_deadline();
  }
}

uint32_t Process::on_in(uc_engine*, uint32_t, int, void* self) {
  auto* p = static_cast<Process*>(self);
  p->guarded([&] { p->fault("general_protection", p->mem_.reg(UC_X86_REG_EIP)); });
  return 0;
}

void Process::on_out(uc_engine*, uint32_t, int, uint32_t, void* self) {
  auto* p = static_cast<Process*>(self);
  p->guarded([&] { p->fault("general_protection", p->mem_.reg(UC_X86_REG_EIP)); });
}

uint32_t Process::fast_call_site(uint8_t second) {
  uint32_t eip = mem_.reg(UC_X86_REG_EIP);
  uint8_t code[2];
  if (mem_.peek(eip, code, 2) && code[0] == 0x0F && code[1] == second) return eip;
  return eip - 2;
}

void Process::on_sysenter(uc_engine*, void* self) {
  auto* p = static_cast<Process*>(self);
  p->guarded([&] { p->fault("general_protection", p->fast_call_site(0x34)); });
}

void Process::on_syscall_insn(uc_engine*, void* self) {
  auto* p = static_cast<Process*>(self);
  p->guarded([&] { p->fault("invalid_opcode", p->fast_call_site(0x05)); });
}

int Process::on_rdtsc(uc_engine*, void* self) {
  auto* p = static_cast<Process*>(self);
  uint64_t value = p->tsc_next_++;
  p->guarded([&] {
    p->mem_.set_reg(UC_X86_REG_EAX, static_cast<uint32_t>(value));
    p->mem_.set_reg(UC_X86_REG_EDX, static_cast<uint32_t>(value >> 32));
  });
  return 1;  // the counter is ours: the instruction stores nothing of its own
}

int Process::on_rdtscp(uc_engine* uc, void* self) {
  auto* p = static_cast<Process*>(self);
  p->guarded([&] { p->mem_.set_reg(UC_X86_REG_ECX, 0); });  // the processor number: there is one
  return on_rdtsc(uc, self);
}

RunResult Process::run() {
  RunResult res;
  build_address_space();
  install_hooks();
  if (opt_.gdb_port) {
    gdb_ = std::make_unique<GdbStub>(mem_, opt_.gdb_port);
    gdb_->attach(image_.entry(), opt_.gdb_wait);
  }
  start_watchdog();
  uc_err err = UC_ERR_OK;
  std::jmp_buf trap;
  if (setjmp(trap) == 0) {
    set_translator_trap(&trap);
    err = uc_emu_start(mem_.uc(), kTrampoline, 0, 0, 0);
  } else {
    // The translator gave up on the block at eip: to the guest, an invalid opcode in it.
    err = UC_ERR_INSN_INVALID;
    mem_.set_reg(UC_X86_REG_EIP, untranslatable_in(mem_, mem_.reg(UC_X86_REG_EIP)));
  }
  set_translator_trap(nullptr);
  // A freshly forked child is this thread alone: the watchdog thread stayed in the parent, and it may have held
  // its mutex at the fork, so the child leaves the watchdog's state untouched.
  if (state_ == State::Child) run_child();
  stop_watchdog();
  if (gdb_ && gdb_->killed() && state_ == State::Running) {
    state_ = State::Killed;
    killed_ = "debugger";
  }
  if (!host_error_.empty()) throw EmulatorError(host_error_);

  uint32_t eip = mem_.reg(UC_X86_REG_EIP);
  if (state_ == State::Running) {
    if (timed_out_) {
      state_ = State::Killed;
      killed_ = "timeout";
    } else if (bad_access_ && err != UC_ERR_OK) {
      std::string access = "read";
      if (bad_type_ == UC_MEM_WRITE_UNMAPPED || bad_type_ == UC_MEM_WRITE_PROT) access = "write";
      if (bad_type_ == UC_MEM_FETCH_UNMAPPED || bad_type_ == UC_MEM_FETCH_PROT) access = "exec";
      if (access == "read" && rewrites_memory(mem_, eip)) access = "write";
      fault("page_fault", access == "exec" ? bad_addr_ : eip, bad_addr_, access);
    } else if (err == UC_ERR_INSN_INVALID) {
      fault("invalid_opcode", eip);
    } else if (err == UC_ERR_OK && eip == 0) {
      // The emulation's end address is 0, which is never mapped: reaching it is an execution fault there.
      fault("page_fault", 0, 0, "exec");
    } else if (err == UC_ERR_OK) {
      // Stopped without a request: hlt ends the emulation quietly; in user mode it is a protection fault.
      uint8_t prev = 0;
      bool after_hlt = eip >= 1 && mem_.peek(eip - 1, &prev, 1) && prev == 0xF4;
      fault("general_protection", after_hlt ? eip - 1 : eip);
    } else {
      fault("general_protection", eip);
    }
  }

  if ((opt_.count_insns || opt_.insn_limit) && state_ == State::Faulted && last_block_ != 0 &&
      fault_.eip >= last_block_) {
    // The block hook counted the faulting block whole; only the instructions before the fault ran.
    uint8_t code[4096];
    uint32_t len = std::min<uint64_t>(sizeof code, fault_.eip - last_block_ + 16);
    len = mem_.span(static_cast<uint32_t>(last_block_), len, UC_PROT_NONE);
    csh cs;
    if (len && mem_.peek(static_cast<uint32_t>(last_block_), code, len) &&
        cs_open(CS_ARCH_X86, CS_MODE_32, &cs) == CS_ERR_OK) {
      cs_insn* insn = nullptr;
      size_t n = cs_disasm(cs, code, len, last_block_, last_block_insns_, &insn);
      uint32_t before = 0;
      for (size_t i = 0; i < n && insn[i].address < fault_.eip; ++i) ++before;
      if (n) cs_free(insn, n);
      cs_close(&cs);
      executed_ = executed_ - last_block_insns_ + std::min(before, last_block_insns_);
    }
  }

  if (gdb_ && state_ == State::Faulted) {
    // The debugger sees the machine at the faulting instruction, with the signal a Unix debugger expects.
    mem_.set_reg(UC_X86_REG_EIP, fault_.eip);
    const std::string& k = fault_.kind;
    gdb_->report_fault(k == "invalid_opcode" ? 4 : k == "divide_error" ? 8 : k == "breakpoint" ? 5 : 11);
  } else if (gdb_ && state_ == State::Exited) {
    gdb_->report_exit(status_);
  }
  res.instructions = executed_;
  switch (state_) {
    case State::Exited:
      res.end = RunResult::End::Exit;
      res.status = status_;
      trace_.end_exit(status_);
      break;
    case State::Faulted: {
      res.end = RunResult::End::Fault;
      res.fault = fault_;
      trace_.end_fault(fault_);
      std::string report = FaultReport::render(name_, fault_, image_, mem_);
      ssize_t ignored = ::write(opt_.stderr_fd, report.data(), report.size());
      (void)ignored;
      break;
    }
    default:
      res.end = RunResult::End::Killed;
      res.killed = killed_;
      trace_.end_killed(killed_);
      break;
  }
  if (opt_.count_insns) {
    std::string line = strf("instructions: %llu\n", static_cast<unsigned long long>(executed_));
    ssize_t ignored = ::write(opt_.stderr_fd, line.data(), line.size());
    (void)ignored;
  }
  return res;
}

void Process::run_child() {
  // In the forked host process: the new image runs in a fresh emulator with this process's descriptors.
  ChildStart start = std::move(*child_);
  // The parent's emulator is never entered again here; holding it would make every generation of a chain of
  // spawns carry all its ancestors' memory.
  mem_.close();
  RunOptions copt = opt_;
  copt.gdb_port = 0;  // the debugger stays with the parent
  copt.trace_json.clear();
  copt.injects.clear();
  copt.keep_trace = false;
  int code = 125;
  try {
    Trace ctrace(opt_.trace ? opt_.stderr_fd : -1, "", false, strf("[pid %d] ", static_cast<int>(::getpid())));
    Process child(start.image, std::move(start.argv), start.name, copt, sandbox_, fds_, ctrace);
    RunResult r = child.run();
    code = r.host_exit_code();
    int sig = 0;
    if (r.end == RunResult::End::Fault) {
      // The parent's waitpid sees the signal matching the fault, as for a native process.
      const std::string& k = r.fault.kind;
      sig = k == "invalid_opcode" ? SIGILL : k == "divide_error" ? SIGFPE : k == "breakpoint" ? SIGTRAP : SIGSEGV;
    } else if (r.end == RunResult::End::Killed) {
      sig = SIGKILL;
    }
    // This process's slot in the tree goes back before it ends, however it ends.
    if (ProcessTree* tree = ProcessTree::current()) tree->leave();
    if (sig != 0) {
      rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ::signal(sig, SIG_DFL);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, sig);
      ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
      ::raise(sig);
    }
  } catch (const std::exception& e) {
    if (ProcessTree* tree = ProcessTree::current()) tree->leave();
    std::string line = std::string("tavik-run: ") + e.what() + "\n";
    ssize_t ignored = ::write(opt_.stderr_fd, line.data(), line.size());
    (void)ignored;
  }
  ::_exit(code);
}

}  // namespace tavik
