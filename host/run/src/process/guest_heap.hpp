// GuestHeap: the library's heap as --memcheck serves it. The kit answers malloc, calloc, realloc and free itself:
// each block lies in a region of its own, between redzones no access may touch, and is never handed out again, so
// that every access outside a live block can be told exactly. The arena's budget is counted as the library counts
// it (g_heap_used, errno 12), so a program runs out of memory exactly where it would without the check.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "report/backtrace.hpp"

namespace tavik {

class Image;
class Machine;
class ShadowMemory;

struct HeapBlock {
  uint32_t start = 0;  // the first byte the program may use
  uint32_t size = 0;   // the request (0 counts as 1, as the library's does)
  bool freed = false;
  Backtrace::Pcs allocated, freed_at;
};

class GuestHeap {
 public:
  // Redzones on each side of a block; the region holds every block the arena's budget allows, with its redzones.
  static constexpr uint32_t kRedzone = 16;
  static constexpr uint32_t kArenaBudget = 1u << 20;
  static constexpr uint32_t kRegionSize = kArenaBudget + (kArenaBudget / 8) * 2 * kRedzone + 4096;

  // Where the region goes: far enough below the stack that a stack overflow reads as one. Throws SetupError
  // (naming the option) when the image's memory lies there.
  static uint32_t region_below(uint32_t stack_base, const Image& image, const char* option);
  // The heap of an image that carries the library's (its arena, counter and errno): the region is mapped at
  // region_base. nullopt when the image has no such heap (a program without the library).
  static std::optional<GuestHeap> of(const Image& image, Machine& m, uint32_t region_base);
  // Each block's bytes, redzones and release marked in the address sanitizer's shadow too.
  void keep_shadow(ShadowMemory* shadow) { shadow_ = shadow; }

  // A block for the request: its start, or 0 with errno 12 when the budget is spent (as the library would).
  uint32_t allocate(uint32_t request, Backtrace::Pcs where);
  // calloc's product, or nullopt when it needs more than 32 bits (errno 12 stored).
  std::optional<uint32_t> product(uint32_t count, uint32_t size);
  // The live block starting at ptr, or nullptr.
  HeapBlock* live_block_at(uint32_t ptr);
  void release(HeapBlock& block, Backtrace::Pcs where);

  // Whether every byte of [addr, addr + size) lies in a live block.
  bool addressable(uint32_t addr, uint32_t size) const;
  // Whether the access reads a block's header word whole (the library's layout: the request, in the word before
  // the block), which a program of this system may do; any other access to the redzone is an error.
  bool header_read(bool write, uint32_t addr, uint32_t size) const;
  bool in_region(uint32_t addr) const { return addr - region_ < kRegionSize; }
  bool in_arena(uint32_t addr) const { return addr - arena_ < arena_size_; }
  uint32_t region_start() const { return region_; }
  uint32_t arena() const { return arena_; }
  uint32_t arena_size() const { return arena_size_; }
  // The block addr lies in or beside (the nearest one, for an address in a redzone), or nullptr.
  const HeapBlock* block_near(uint32_t addr) const;
  // "12 bytes after a block of size 10", "4 bytes inside a block of size 10", or where else addr lies.
  std::string where(uint32_t addr, const HeapBlock** block) const;

  struct Totals {
    uint64_t allocs = 0, frees = 0, bytes = 0, freed_bytes = 0;
  };
  const Totals& totals() const { return totals_; }
  // Blocks and bytes still live.
  std::pair<uint64_t, uint64_t> in_use() const;

 private:
  GuestHeap(Machine& m, uint32_t arena, uint32_t arena_size, uint32_t counter, uint32_t errno_at, uint32_t region);
  void set_errno_nomem();
  void mark(uint32_t start, uint32_t size, bool live);

  Machine* m_;
  ShadowMemory* shadow_ = nullptr;
  uint32_t arena_, arena_size_, counter_, errno_at_, region_;
  uint32_t used_ = 0;        // the arena's budget spent, as g_heap_used counts it
  uint32_t next_ = 0;        // the region's first byte not yet handed out
  // Per byte of the region: 1 in a live block. Zero pages from the system, so that only the part the blocks
  // reach takes memory.
  std::unique_ptr<uint8_t, void (*)(void*)> live_{nullptr, &std::free};
  std::vector<HeapBlock> blocks_;  // by start (the region is carved in order)
  Totals totals_;
};

}  // namespace tavik
