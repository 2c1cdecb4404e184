// Memcheck: --memcheck for one process. It serves the library's heap functions itself (GuestHeap), watches every
// load and store into the heap and the stack, and reports each access outside a live block, below the stack
// pointer, or into the arena, and each free of what is not a live block, once per instruction that does it. The
// run goes on after an error.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include <unicorn/unicorn.h>

#include "process/checker_context.hpp"

#include "process/guest_heap.hpp"
#include "process/heap_functions.hpp"
#include "report/memory_error.hpp"

namespace tavik {

class GdbStub;

class Memcheck : private HeapFunctions::BadFree {
 public:
  Memcheck(CheckerContext ctx, uint32_t stack_base);
  // Maps the checked heap and installs the hooks (before the CPU's own events, so that a system call's buffer is
  // checked before the kernel uses it). Throws SetupError when the image leaves no room for the heap.
  void install();
  // An error stops here in the debugger, as a fault would.
  void set_debugger(GdbStub* gdb) { gdb_ = gdb; }
  uint64_t errors() const { return errors_; }
  // The account printed at the process's end (and its JSON line).
  MemcheckSummary summary() const;

  // Accesses up to this far below the stack pointer belong to the instruction that moves it (push, call, pusha
  // write below it before it moves): they are not told from others.
  static constexpr uint32_t kPushReach = 32;
  // Distinct error sites reported in full; more are counted.
  static constexpr size_t kMostSites = 1000;

 private:
  static bool on_access(uc_engine* uc, uc_mem_type type, uint64_t addr, int size, int64_t value, void* self);
  // A system call, before the kernel runs it: the buffer it reads or stores must lie in live memory.
  static void on_interrupt(uc_engine* uc, uint32_t intno, void* self);
  void check_call_buffer();
  // The first byte of [addr, addr + size) that an access may not touch, if any.
  std::optional<uint32_t> first_denied(bool write, uint32_t addr, uint32_t size) const;

  // Whether the access touches only live blocks, the stack above its pointer, or memory not checked.
  bool allowed(bool write, uint32_t addr, uint32_t size) const;
  void report_access(bool write, uint32_t addr, uint32_t size);
  void bad_free(const char* what, uint32_t ptr, uint32_t eip) override;
  void report(MemoryError& e, const HeapBlock* block);

  CheckerContext ctx_;
  uint32_t stack_base_;
  const uint32_t* esp_ = nullptr;  // the stack pointer as the CPU keeps it
  std::optional<GuestHeap> heap_;
  std::optional<HeapFunctions> functions_;
  GdbStub* gdb_ = nullptr;
  uint64_t errors_ = 0;
  std::set<uint64_t> sites_;  // (eip, kind) of the errors reported
  bool said_enough_ = false;
};

}  // namespace tavik
