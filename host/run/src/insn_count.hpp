// InsnCount: the instructions a guest executes, counted per translated block by a block hook that is in place only
// when they are counted (--count-insns) or limited (--insn-limit). The hook also polls the time limit.
#pragma once

#include <cstdint>
#include <unordered_map>

#include <unicorn/unicorn.h>

namespace tavik {

class Deadline;
class Machine;
class ProcessEnd;

class InsnCount {
 public:
  InsnCount(Machine& m, ProcessEnd& end, Deadline& deadline, uint64_t limit);
  void install();
  uint64_t executed() const { return executed_; }
  // The fault at eip stopped the last block part way: only the instructions before eip ran.
  void settle_at_fault(uint32_t eip);

 private:
  static void on_block(uc_engine* uc, uint64_t addr, uint32_t size, void* self);

  Machine& m_;
  ProcessEnd& end_;
  Deadline& deadline_;
  uint64_t limit_;
  std::unordered_map<uint64_t, uint32_t> block_insns_;  // the emulator's own count per block address
  uint64_t executed_ = 0;
  uint64_t last_block_ = 0;
  uint32_t last_block_insns_ = 0;
};

}  // namespace tavik
