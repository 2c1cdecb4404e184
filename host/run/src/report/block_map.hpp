// BlockMap: the block hooks' records, one per translated block's start address. A hook runs for every block
// executed, and most executions are of a block executed shortly before: a direct-mapped cache of record addresses
// sits in front of the hash map (whose records never move).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace tavik {

template <typename Record>
class BlockMap {
 public:
  Record& operator[](uint32_t addr) {
    Slot& s = (*cache_)[(addr ^ (addr >> 12)) & (kSlots - 1)];
    if (s.record && s.addr == addr) return *s.record;
    Record& r = records_[addr];
    s = {addr, &r};
    return r;
  }
  const std::unordered_map<uint32_t, Record>& records() const { return records_; }

 private:
  static constexpr size_t kSlots = 1 << 12;
  struct Slot {
    uint32_t addr = 0;
    Record* record = nullptr;
  };
  std::unique_ptr<std::array<Slot, kSlots>> cache_ = std::make_unique<std::array<Slot, kSlots>>();
  std::unordered_map<uint32_t, Record> records_;  // by start: at most one per address of executable memory
};

}  // namespace tavik
