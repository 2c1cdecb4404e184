// InsnCount: per-block counts from the emulator's cache, and the correction for a block cut short by a fault.
#include "process/insn_count.hpp"

#include "cpu/guest_code.hpp"

#include <algorithm>

#include "cpu/address_space.hpp"
#include "kernel/deadline.hpp"
#include "cpu/machine.hpp"
#include "kernel/process_end.hpp"
#include "kernel/shared_counters.hpp"

namespace tavik {

namespace {

// Instructions taken from the tree's budget at a time: few trips to the shared counter, and a process of a tree
// holds back at most this many from the others.
constexpr uint64_t kLease = 1 << 16;

}  // namespace

InsnCount::InsnCount(Machine& m, ProcessEnd& end, Deadline& deadline, SharedCounters& tree)
    : m_(m), end_(end), deadline_(deadline), tree_(tree), cuts_(m) {}

InsnCount::~InsnCount() {
  if (lease_) tree_.give_back_insns(lease_);
}

void InsnCount::install() {
  cache_ = std::make_unique<std::array<CachedBlock, kCacheSlots>>();
  m_.on_every_block(&InsnCount::on_block, this);
}

inline uint32_t InsnCount::block_insns(uint64_t addr, uint32_t size) {
  CachedBlock& slot = (*cache_)[(addr ^ (addr >> 16) ^ size) % kCacheSlots];
  if (slot.addr == addr && slot.size == size && slot.insns != 0) return slot.insns;
  return count_block(slot, addr, size);
}

// The cache's miss, out of the hot path (decoding needs a large frame): the engine's count for its block, or
// the block's own bytes when the engine's block at addr is another.
uint32_t InsnCount::count_block(CachedBlock& slot, uint64_t addr, uint32_t size) {
  uint32_t insns = m_.block_insns(addr, size);
  if (insns == 0) insns = static_cast<uint32_t>(std::max<size_t>(GuestCode(m_, static_cast<uint32_t>(addr), size, 0).size(), 1));
  slot = {static_cast<uint32_t>(addr), size, insns};
  return insns;
}

inline bool InsnCount::budget_allows(uint32_t count) {
  if (!tree_.insns_limited()) return true;
  if (lease_ < count) lease_ += tree_.take_insns(std::max<uint64_t>(kLease, count - lease_));
  if (lease_ < count) return false;
  lease_ -= count;
  return true;
}

void InsnCount::on_block(uc_engine*, uint64_t addr, uint32_t size, void* self) {
  auto* c = static_cast<InsnCount*>(self);
  if (addr == kTrampoline) return;
  // Self-modifying code cut the last block short: what it did not run is taken back, as after a fault.
  uint32_t cut_at;
  if (c->cuts_.take(cut_at)) c->settle_at_fault(cut_at);
  uint32_t count = c->block_insns(addr, size);
  if (c->executed_ + count > c->stop_at_) {
    if (c->end_.running()) c->end_.kill(c->stop_limit_);
    return;
  }
  if (!c->budget_allows(count)) {
    if (c->end_.running()) c->end_.kill(Limit::InsnLimit);
    return;
  }
  c->executed_ += count;
  c->last_block_ = addr;
  c->last_block_insns_ = count;
  c->deadline_.poll();
}

void InsnCount::settle_at_fault(uint32_t eip) {
  if (last_block_ == 0 || eip < last_block_) return;
  // The block hook counted the faulting block whole; only the instructions before the fault ran.
  uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(4096, eip - last_block_ + 16));
  GuestCode code(m_, static_cast<uint32_t>(last_block_), len, last_block_insns_);
  if (code.size() == 0) return;
  uint32_t before = 0;
  for (size_t i = 0; i < code.size() && code[i].address < eip; ++i) ++before;
  uint32_t unexecuted = last_block_insns_ - std::min(before, last_block_insns_);
  executed_ -= unexecuted;
  if (tree_.insns_limited()) lease_ += unexecuted;
}

}  // namespace tavik
