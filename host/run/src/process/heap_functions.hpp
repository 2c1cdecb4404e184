// HeapFunctions: the library's malloc, calloc, realloc and free answered by the kit at their first instruction,
// from a GuestHeap, for the checkers that need every block told apart (--memcheck, the address sanitizer). A free
// or realloc of what is not a live block goes to the checker's report.
#pragma once

#include <cstdint>

#include <unicorn/unicorn.h>

#include "process/checker_context.hpp"
#include "process/guest_heap.hpp"

namespace tavik {

class HeapFunctions {
 public:
  // The checker's report of a free or realloc of ptr, which is no live block; eip is the heap function's entry.
  class BadFree {
   public:
    virtual void bad_free(const char* what, uint32_t ptr, uint32_t eip) = 0;

   protected:
    ~BadFree() = default;
  };

  HeapFunctions(const CheckerContext& ctx, GuestHeap& heap, BadFree& report) : ctx_(ctx), heap_(heap), report_(report) {}
  void install();

  // Frames kept for each allocation and release.
  static constexpr size_t kHeapFrames = 12;

 private:
  static void on_malloc(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_calloc(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_realloc(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_free(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  // The heap function's arguments, above its return address.
  uint32_t arg(int i) const;
  // Returns from the heap function with result in eax, as its ret would.
  void answer(uint32_t result);
  Backtrace::Pcs here(uint32_t eip) const;

  const CheckerContext& ctx_;
  GuestHeap& heap_;
  BadFree& report_;
};

}  // namespace tavik
