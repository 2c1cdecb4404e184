// Profile: where a process spends its instructions, written in callgrind's format (callgrind_annotate and
// KCachegrind read it): the instructions executed per function and source line, exact, and each call site's
// calls with their inclusive cost. A block hook, in place only with --profile, counts each translated block's
// executions and follows calls and returns on a shadow stack (a jump to another function's first instruction is a
// call too: a tail call, which returns with its caller); at the end the symbols and the line table name the
// addresses.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <unicorn/unicorn.h>

#include "cpu/machine.hpp"
#include "report/block_map.hpp"

namespace tavik {

class Image;

class Profile {
 public:
  Profile(Machine& m, const Image& image) : m_(m), image_(image), cuts_(m) {}
  void install();
  // The fault at eip stopped the last block part way: the instructions from eip on did not run.
  void settle_at_fault(uint32_t eip);
  // The profile in callgrind's format; command: the process's command line, as the file names it.
  std::string render(const std::string& command);

 private:
  struct Calls {
    uint64_t count = 0;
    uint64_t inclusive = 0;
  };
  struct Block {
    uint32_t size = 0;
    bool decoded = false;
    bool ends_in_call = false;
    bool ends_in_jump = false;    // unconditional
    bool ends_in_return = false;
    bool entry = false;           // the first instruction of the function that holds it
    uint32_t function = 0;        // that function's first address (0: no symbol holds the block)
    uint64_t runs = 0;
    std::vector<uint32_t> insns;  // each instruction's address
    // A block that ends in a call or a jump: where its calls went last, and their record.
    uint32_t callee = 0;
    Calls* calls = nullptr;
  };
  // A call not yet returned from.
  struct Frame {
    Calls* calls;     // of this call site and callee; nullptr when left out
    uint32_t slot;    // where the return address is: the stack pointer on entry
    uint64_t start;   // instructions executed before the callee's first
  };

  static void on_block(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  Block& block_at(uint32_t addr, uint32_t size);
  void decode(Block& b, uint32_t addr);
  // A call from the last block; `tail`: by a jump, sharing its caller's return address.
  void enter(uint32_t callee, bool tail);
  Calls* calls_of(uint32_t site, uint32_t callee);
  // The frames whose return-address slot lies below `above` are gone: their calls have returned.
  void unwind(uint64_t above);
  void close_frame();

  Machine& m_;
  const Image& image_;
  BlockMap<Block> blocks_;
  std::unordered_map<uint32_t, int64_t> extra_;  // by instruction: runs of rewritten blocks, fault corrections
  std::unordered_map<uint64_t, Calls> calls_;    // by call site << 32 | callee
  uint64_t calls_dropped_ = 0;
  std::vector<Frame> stack_;
  uint64_t total_ = 0;
  Block* last_ = nullptr;
  uint32_t last_addr_ = 0;
  Machine::CutWatch cuts_;
};

}  // namespace tavik
