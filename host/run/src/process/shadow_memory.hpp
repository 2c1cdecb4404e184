// ShadowMemory: the address sanitizer's shadow, one byte for each 8 bytes of guest memory at (addr >> 3) +
// kOffset, where the compiler's inline checks look: 0 when the 8 bytes may be touched, k (1..7) when only the
// first k may, a negative kind byte (heap redzone, freed, stack redzone, global redzone...) when none may.
// All 512 MiB of it is mapped, so that a check of any address reads a byte; only the shadow of the guest's own
// memory (image, stack, checked heap) is writable, and only that ever takes host memory: an eighth of it.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tavik {

class Machine;

class ShadowMemory {
 public:
  static constexpr uint32_t kOffset = 0x20000000u;
  static constexpr uint32_t kSize = 1u << 29;
  // Kind bytes, as the compiler and the sanitizer's reports know them.
  static constexpr uint8_t kHeapRedzone = 0xfa, kFreed = 0xfd, kGlobalRedzone = 0xf9;

  using Range = std::pair<uint64_t, uint64_t>;  // [first, end) of guest memory
  // Maps the shadow; the shadow of each range is writable.
  ShadowMemory(Machine& m, std::vector<Range> writable);

  static uint32_t of(uint32_t addr) { return (addr >> 3) + kOffset; }
  static bool holds(uint64_t addr) { return addr >= kOffset && addr < uint64_t{kOffset} + kSize; }

  // [addr, addr + size) of an 8-aligned addr marked kind, whole granules.
  void poison(uint32_t addr, uint32_t size, uint8_t kind);
  // [addr, addr + size) of an 8-aligned addr made addressable, its last granule partly.
  void unpoison(uint32_t addr, uint32_t size);
  uint8_t byte(uint32_t addr) const;
  // The first byte of [addr, addr + size) that may not be touched. Only writable shadow can say so.
  std::optional<uint32_t> first_poisoned(uint32_t addr, uint32_t size) const;
  // The kind byte that names an error at bad: past a partial granule, the next one's.
  uint8_t kind_at(uint32_t bad) const;

 private:
  Machine& m_;
  std::vector<Range> writable_;  // guest ranges, sorted and merged, page-aligned in the shadow
};

}  // namespace tavik
