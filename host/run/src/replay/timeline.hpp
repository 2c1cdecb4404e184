// Timeline: a debugged process's past. Checkpoints are taken as it runs (the CPU's whole state, the writable
// pages, shared with the checkpoint before when they did not change, where the journal and the instruction count
// stood); any earlier instruction is reached again by putting one back and running forward, the system calls
// answered from the journal. Their memory, with the journal's, is held to a bound: past it, every other
// checkpoint goes (and the time between two doubles), then the oldest, with the history before it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <unicorn/unicorn.h>

namespace tavik {

class Journal;
class Machine;

class Timeline {
 public:
  // The writable memory is the process's for its whole life (tavik maps nothing after the start).
  // executed: the process's count of instructions, put back with the rest (nullptr: not counted).
  Timeline(Machine& m, Journal& journal, uint64_t* executed, uint64_t memory_limit);
  ~Timeline();
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  // Before the instruction of this position runs: a checkpoint when one is due (never during a re-execution).
  void pass(uint64_t position) {
    if (position >= next_) take(position);
  }
  // The earliest position the process can be taken back to (none yet: the largest).
  uint64_t first() const;
  // Puts the process back at the latest checkpoint at or before position (after: strictly before); returns its
  // position. There is always one at or before any position past first().
  uint64_t restore(uint64_t position, bool before = false);
  // The debugger changed the machine: the past no longer leads here, and history starts again at the next
  // instruction.
  void forget();
  uint64_t checkpoints() const { return points_.size(); }
  uint64_t bytes() const { return page_bytes_; }

 private:
  using Page = std::array<uint8_t, 4096>;
  struct Point {
    uint64_t position;
    uint64_t journal;
    uint64_t executed;
    std::shared_ptr<uc_context> cpu;
    std::vector<std::shared_ptr<const Page>> pages;
  };
  void take(uint64_t position);
  void read_memory();
  void bound();
  void recount();

  Machine& m_;
  Journal& journal_;
  uint64_t* executed_;
  uint64_t limit_;
  std::vector<std::pair<uint32_t, uint32_t>> ranges_;  // the writable memory
  std::vector<uint8_t> now_;                           // its bytes as last read
  std::vector<Point> points_;                          // by position
  uint64_t interval_ = 1 << 18;                        // instructions between two checkpoints
  uint64_t next_ = 0;                                  // the position the next one is due at
  uint64_t page_bytes_ = 0;
};

}  // namespace tavik
