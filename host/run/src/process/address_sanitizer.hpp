// AddressSanitizer: the reports of code built with -fsanitize=address. The compiler checks each load and store
// against the shadow (ShadowMemory) and calls the SDK's runtime (__asan_report_*) on a poisoned byte; the kit maps
// the shadow when the image carries that runtime, serves the heap with poisoned redzones and freed blocks
// (GuestHeap, never handed out again), poisons the globals' redzones as the module constructors register them,
// checks the ranges the library's memory and string functions touch, and writes each report in the sanitizer's
// words, with where the address lies (the block and its allocation and release, the global, the stack frame's
// variable) and the backtrace:
//   tavik: NAME: AddressSanitizer: heap-buffer-overflow on address 0x5fe0001a, eip 0x0040107a (main+0x2a)
// The process then ends with status 1, as with the sanitizer's default; code built with -fsanitize-recover=address
// goes on, and each site is reported once.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <unicorn/unicorn.h>

#include "process/checker_context.hpp"
#include "process/guest_heap.hpp"
#include "process/heap_functions.hpp"
#include "process/shadow_memory.hpp"
#include "report/memory_error.hpp"

namespace tavik {

class AddressSanitizer : private HeapFunctions::BadFree {
 public:
  AddressSanitizer(CheckerContext ctx, uint32_t stack_base);
  // Whether the image was built with the checks: it links the SDK's runtime.
  static bool built_into(const Image& image);
  // Maps the shadow and the checked heap, and stops at the runtime's entries and the library's memory functions.
  // Throws SetupError when the image's memory lies where they go.
  void install();

  // Globals registered, and distinct sites reported (the recoverable form), at most.
  static constexpr size_t kMostGlobals = 1u << 16;
  static constexpr size_t kMostSites = 1000;

 private:
  struct Global {
    uint32_t start, size, with_redzone, name, module, location;
  };

  static void on_report(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_register_globals(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_no_return(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_memory_function(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  void report_check(const std::string& entry, uint32_t eip);
  void register_globals(uint32_t array, uint32_t count);
  void check_memory_function(const std::string& name, uint32_t eip);
  // The range a library function reads or writes: reported when any byte of it is poisoned.
  void check_range(bool write, uint32_t addr, uint32_t size, uint32_t eip);
  void bad_free(const char* what, uint32_t ptr, uint32_t eip) override;

  // The kind's name, as the sanitizer names it, and where the address lies.
  std::string describe(uint32_t addr, uint8_t kind, uint32_t size, MemoryError& e) const;
  std::string describe_global(uint32_t addr) const;
  std::string describe_stack(uint32_t addr, uint32_t size) const;
  void report(MemoryError& e, bool ends);

  std::string text_at(uint32_t addr) const;

  CheckerContext ctx_;
  uint32_t stack_base_;
  std::optional<ShadowMemory> shadow_;
  std::optional<GuestHeap> heap_;
  std::optional<HeapFunctions> functions_;
  std::vector<Global> globals_;
  std::set<uint32_t> sites_;
};

}  // namespace tavik
