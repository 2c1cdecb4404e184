// CpuEvents: what the guest's CPU does that is not plain computing, caught by the emulator's hooks and turned into
// the kernel's answer: int 0x80 goes to the system calls; exceptions, privileged and port instructions, the fast
// system-call instructions and bad memory accesses become faults; rdtsc reads the fixed counter of --tsc. After
// the emulation stops, classify() tells how, when no event decided it already.
#pragma once

#include <cstdint>
#include <optional>

#include <unicorn/unicorn.h>

namespace tavik {

class Dispatcher;
class History;
class Machine;
class ProcessEnd;

class CpuEvents {
 public:
  // With an active history, what rdtsc reads is kept in it or answered from it.
  CpuEvents(Machine& m, ProcessEnd& end, Dispatcher& calls, std::optional<uint64_t> tsc, History* history = nullptr);
  void install();
  // The emulation returned err: a bad memory access, an untranslatable or undefined instruction, hlt, or the
  // end address becomes the matching fault. Nothing changes when the end is decided already.
  void classify(uc_err err);
  // The emulation stopped at an instruction fetch from memory that may not be executed: its address (a debugger's
  // breakpoint there is a stop, not a fault).
  std::optional<uint32_t> bad_fetch(uc_err err) const;
  // The stop was the debugger's: the emulation goes on.
  void forget_bad_access() { bad_access_ = false; }

 private:
  static void on_interrupt(uc_engine* uc, uint32_t intno, void* self);
  static bool on_bad_access(uc_engine* uc, uc_mem_type type, uint64_t addr, int size, int64_t value, void* self);
  static uint32_t on_in(uc_engine* uc, uint32_t port, int size, void* self);
  static void on_out(uc_engine* uc, uint32_t port, int size, uint32_t value, void* self);
  static void on_sysenter(uc_engine* uc, void* self);
  static void on_syscall_insn(uc_engine* uc, void* self);
  static int on_rdtsc(uc_engine* uc, void* self);
  static int on_rdtscp(uc_engine* uc, void* self);
  void interrupt(uint32_t intno);
  uint32_t fast_call_site(uint8_t second);

  Machine& m_;
  ProcessEnd& end_;
  Dispatcher& calls_;
  std::optional<uint64_t> tsc_;
  History* history_;
  // The bad access seen by the memory hook, for the error that ends the emulation.
  bool bad_access_ = false;
  uc_mem_type bad_type_{};
  uint32_t bad_addr_ = 0;
};

// The instruction of the block at start that the translator gave up on: the first one the disassembler cannot
// decode either, before the block's first branch; start itself when that cannot be told.
uint32_t untranslatable_in(const Machine& m, uint32_t start);

}  // namespace tavik
