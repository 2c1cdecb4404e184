// GuestHeap: blocks carved in turn from the kit's region, each between two redzones; the arena's budget counted
// as the library counts it.
#include "process/guest_heap.hpp"

#include <algorithm>

#include "base/errors.hpp"
#include "base/strf.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "process/shadow_memory.hpp"

namespace tavik {
namespace {

// The region lies this far below the stack.
constexpr uint32_t kRegionGap = 16u << 20;

}  // namespace

uint32_t GuestHeap::region_below(uint32_t stack_base, const Image& image, const char* option) {
  uint32_t region = (stack_base - kRegionGap - kRegionSize) & ~0xFFFu;
  for (const Segment& s : image.segments())
    if (s.vaddr < region + kRegionSize + kRegionGap && region < uint64_t{s.vaddr} + s.memsz)
      throw SetupError(strf("%s: the image's memory reaches 0x%08x, where the checked heap goes", option, region));
  return region;
}

std::optional<GuestHeap> GuestHeap::of(const Image& image, Machine& m, uint32_t region_base) {
  std::optional<Symbol> arena = image.symbol_named("g_heap"), counter = image.symbol_named("g_heap_used"),
                        errno_at = image.symbol_named("errno");
  if (!arena || !counter || !errno_at || !image.function_named("malloc") || !image.function_named("free"))
    return std::nullopt;
  m.map(region_base, kRegionSize, UC_PROT_READ | UC_PROT_WRITE);
  uint32_t size = std::min(arena->size ? arena->size : kArenaBudget, kArenaBudget);
  return GuestHeap(m, arena->value, size, counter->value, errno_at->value, region_base);
}

GuestHeap::GuestHeap(Machine& m, uint32_t arena, uint32_t arena_size, uint32_t counter, uint32_t errno_at,
                     uint32_t region)
    : m_(&m), arena_(arena), arena_size_(arena_size), counter_(counter), errno_at_(errno_at), region_(region),
      live_(static_cast<uint8_t*>(std::calloc(kRegionSize, 1)), &std::free) {
  if (!live_) throw std::bad_alloc();
}

void GuestHeap::set_errno_nomem() {
  int32_t nomem = 12;
  m_->write_bytes(errno_at_, &nomem, 4);
}

void GuestHeap::mark(uint32_t start, uint32_t size, bool live) {
  std::fill_n(live_.get() + (start - region_), size, live ? 1 : 0);
}

uint32_t GuestHeap::allocate(uint32_t request, Backtrace::Pcs where) {
  uint32_t size = request ? request : 1;
  // The library's test, on its own counter: the block with its header word, rounded to 8, must fit.
  uint32_t room = arena_size_ - used_;
  if (room < 8 || size > room - 4) {
    set_errno_nomem();
    return 0;
  }
  used_ += (size + 4 + 7) & ~7u;
  m_->write_bytes(counter_, &used_, 4);
  uint32_t start = region_ + next_ + kRedzone;
  // The header word the library keeps before each block, in the left redzone.
  m_->write_bytes(start - 4, &size, 4);
  next_ += kRedzone + ((size + 7) & ~7u) + kRedzone;
  mark(start, size, true);
  if (shadow_) {
    uint32_t body = (size + 7) & ~7u;
    shadow_->poison(start - kRedzone, kRedzone, ShadowMemory::kHeapRedzone);
    shadow_->unpoison(start, size);
    shadow_->poison(start + body, kRedzone, ShadowMemory::kHeapRedzone);
  }
  blocks_.push_back({start, size, false, std::move(where), {}});
  ++totals_.allocs;
  totals_.bytes += size;
  return start;
}

std::optional<uint32_t> GuestHeap::product(uint32_t count, uint32_t size) {
  if (count == 0 || size == 0) return 1u;
  if (count > 0xffffffffu / size) {
    set_errno_nomem();
    return std::nullopt;
  }
  return count * size;
}

HeapBlock* GuestHeap::live_block_at(uint32_t ptr) {
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), ptr,
                             [](const HeapBlock& b, uint32_t p) { return b.start < p; });
  return it != blocks_.end() && it->start == ptr && !it->freed ? &*it : nullptr;
}

void GuestHeap::release(HeapBlock& block, Backtrace::Pcs where) {
  block.freed = true;
  block.freed_at = std::move(where);
  mark(block.start, block.size, false);
  if (shadow_) shadow_->poison(block.start, block.size, ShadowMemory::kFreed);
  ++totals_.frees;
  totals_.freed_bytes += block.size;
}

bool GuestHeap::addressable(uint32_t addr, uint32_t size) const {
  uint32_t at = addr - region_;
  if (at >= kRegionSize || size > kRegionSize - at) return false;
  for (uint32_t i = 0; i < size; ++i)
    if (!live_.get()[at + i]) return false;
  return true;
}

bool GuestHeap::header_read(bool write, uint32_t addr, uint32_t size) const {
  if (write || size != 4) return false;
  const HeapBlock* b = block_near(addr);
  return b && addr == b->start - 4;
}

const HeapBlock* GuestHeap::block_near(uint32_t addr) const {
  if (blocks_.empty() || !in_region(addr)) return nullptr;
  // The block whose redzones and bytes hold addr: the last one starting at or before addr + the left redzone.
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), addr + kRedzone,
                             [](uint32_t a, const HeapBlock& b) { return a < b.start; });
  if (it == blocks_.begin()) return nullptr;
  const HeapBlock& b = *--it;
  uint32_t end = b.start + ((b.size + 7) & ~7u) + kRedzone;
  return addr < end ? &b : nullptr;
}

std::string GuestHeap::where(uint32_t addr, const HeapBlock** block) const {
  *block = block_near(addr);
  if (const HeapBlock* b = *block) {
    const char* state = b->freed ? "freed" : "allocated";
    auto bytes = [](uint32_t n) { return strf(n == 1 ? "%u byte" : "%u bytes", n); };
    if (addr < b->start) return strf("%s before a block of size %u %s", bytes(b->start - addr).c_str(), b->size, state);
    if (addr - b->start < b->size)
      return strf("%s inside a block of size %u %s", bytes(addr - b->start).c_str(), b->size, state);
    return strf("%s after a block of size %u %s", bytes(addr - b->start - b->size).c_str(), b->size, state);
  }
  if (in_arena(addr)) return "in the heap arena, which the checked heap never hands out";
  if (in_region(addr)) return "in the heap beyond the blocks handed out";
  return "not in the heap";
}

std::pair<uint64_t, uint64_t> GuestHeap::in_use() const {
  uint64_t n = 0, bytes = 0;
  for (const HeapBlock& b : blocks_)
    if (!b.freed) ++n, bytes += b.size;
  return {n, bytes};
}

}  // namespace tavik
