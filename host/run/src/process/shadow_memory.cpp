// ShadowMemory: mapped as read-only zero pages around the writable shadow of the guest's memory.
#include "process/shadow_memory.hpp"

#include <algorithm>

#include "cpu/machine.hpp"

namespace tavik {
namespace {

constexpr uint32_t kPage = 4096;
// The shadow's pages of guest memory: 8 guest pages for each.
constexpr uint32_t kCover = kPage * 8;

}  // namespace

ShadowMemory::ShadowMemory(Machine& m, std::vector<Range> writable) : m_(m) {
  std::sort(writable.begin(), writable.end());
  for (const Range& r : writable) {
    uint64_t first = r.first & ~uint64_t{kCover - 1}, end = (r.second + uint64_t{kCover - 1}) & ~uint64_t{kCover - 1};
    if (end <= first) continue;
    if (!writable_.empty() && first <= writable_.back().second)
      writable_.back().second = std::max(writable_.back().second, end);
    else
      writable_.push_back({first, end});
  }
  uint64_t at = kOffset;
  for (const Range& r : writable_) {
    uint64_t first = r.first / 8 + kOffset, size = (r.second - r.first) / 8;
    if (first > at) m_.map(static_cast<uint32_t>(at), static_cast<uint32_t>(first - at), UC_PROT_READ);
    m_.map(static_cast<uint32_t>(first), static_cast<uint32_t>(size), UC_PROT_READ | UC_PROT_WRITE);
    at = first + size;
  }
  if (at < uint64_t{kOffset} + kSize)
    m_.map(static_cast<uint32_t>(at), static_cast<uint32_t>(kOffset + kSize - at), UC_PROT_READ);
}

void ShadowMemory::poison(uint32_t addr, uint32_t size, uint8_t kind) {
  std::vector<uint8_t> bytes((size + 7) / 8, kind);
  m_.write_bytes(of(addr), bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void ShadowMemory::unpoison(uint32_t addr, uint32_t size) {
  std::vector<uint8_t> bytes((size + 7) / 8, 0);
  if (size % 8) bytes.back() = static_cast<uint8_t>(size % 8);
  m_.write_bytes(of(addr), bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint8_t ShadowMemory::byte(uint32_t addr) const {
  uint8_t b = 0;
  m_.read_bytes(of(addr), &b, 1);
  return b;
}

std::optional<uint32_t> ShadowMemory::first_poisoned(uint32_t addr, uint32_t size) const {
  uint64_t end = uint64_t{addr} + size;
  // Only the writable shadow is walked: elsewhere every byte is zero.
  for (const Range& r : writable_) {
    uint64_t from = std::max<uint64_t>(addr, r.first), to = std::min<uint64_t>(end, r.second);
    if (from >= to) continue;
    std::vector<int8_t> shadow((to - 1) / 8 - from / 8 + 1);
    m_.read_bytes(of(static_cast<uint32_t>(from)), shadow.data(), static_cast<uint32_t>(shadow.size()));
    for (size_t i = 0; i < shadow.size(); ++i) {
      if (shadow[i] == 0) continue;
      uint64_t granule = (from / 8 + i) * 8;
      uint64_t bad = std::max(from, shadow[i] < 0 ? granule : granule + static_cast<uint64_t>(shadow[i]));
      if (bad < std::min(to, granule + 8)) return static_cast<uint32_t>(bad);
    }
  }
  return std::nullopt;
}

uint8_t ShadowMemory::kind_at(uint32_t bad) const {
  uint8_t b = byte(bad);
  return b > 0 && b < 8 ? byte(bad + 8) : b;
}

}  // namespace tavik
