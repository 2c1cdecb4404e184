// InsnCount: the instructions a guest executes, counted per translated block by a block hook that is in place only
// when they are counted (--count-insns) or limited (--insn-limit). The hook also polls the time limit.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include <unicorn/unicorn.h>

#include "cpu/machine.hpp"
#include "tavik/run.hpp"

namespace tavik {

class Deadline;
class ProcessEnd;
class SharedCounters;

class InsnCount {
 public:
  InsnCount(Machine& m, ProcessEnd& end, Deadline& deadline, SharedCounters& tree);
  ~InsnCount();
  void install();
  uint64_t executed() const { return executed_; }
  // The fault at eip stopped the last block part way: only the instructions before eip ran.
  void settle_at_fault(uint32_t eip);
  // In a host process a spawn has just forked: the lease is the parent's, never given back from here.
  void forget_lease() { lease_ = 0; }
  // A replay of a run a limit stopped: it stops where that one did, as that limit, whatever the budget.
  void stop_after(uint64_t insns, Limit limit) {
    stop_at_ = insns;
    stop_limit_ = limit;
  }
  // The count itself, for going back in time.
  uint64_t* counter() { return &executed_; }

 private:
  static void on_block(uc_engine* uc, uint64_t addr, uint32_t size, void* self);

  // The block's instruction count, from a fixed-size cache in front of the emulator's own (bounded memory
  // whatever number of blocks a guest makes).
  uint32_t block_insns(uint64_t addr, uint32_t size);
  // Whether count more instructions fit the tree's budget, taking more of it as needed.
  bool budget_allows(uint32_t count);

  struct CachedBlock {
    uint32_t addr = 0;
    uint32_t size = 0;
    uint32_t insns = 0;
  };
  static constexpr size_t kCacheSlots = 1 << 16;
  [[gnu::noinline]] uint32_t count_block(CachedBlock& slot, uint64_t addr, uint32_t size);

  Machine& m_;
  ProcessEnd& end_;
  Deadline& deadline_;
  SharedCounters& tree_;
  std::unique_ptr<std::array<CachedBlock, kCacheSlots>> cache_;
  uint64_t lease_ = 0;  // instructions taken from the tree's budget and not yet executed
  uint64_t executed_ = 0;
  uint64_t stop_at_ = UINT64_MAX;
  Limit stop_limit_ = Limit::InsnLimit;
  uint64_t last_block_ = 0;
  Machine::CutWatch cuts_;
  uint32_t last_block_insns_ = 0;
};

}  // namespace tavik
