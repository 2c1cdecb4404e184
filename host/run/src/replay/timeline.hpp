// Timeline: a debugged process's past. Checkpoints are taken as it runs (the CPU's whole state, the writable
// pages, shared with the checkpoint before when they did not change, where the journal and the instruction count
// stood); any earlier instruction is reached again by putting one back and running forward, the system calls
// answered from the journal. Only the pages written since are looked at (the debugger's store hook and the
// kernel's copies mark them), so a process with a large, mostly untouched bss costs its touched pages. The
// checkpoints' memory, with the journal's, is held to a bound: past it, every other checkpoint goes (and the time
// between two doubles), then the oldest, with the history before it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include <unicorn/unicorn.h>

namespace tavik {

class Journal;
class Machine;

class Timeline {
 public:
  // The writable memory is the process's for its whole life (tavik maps nothing after the start). executed: the
  // process's count of instructions, put back with the rest (nullptr: not counted).
  Timeline(Machine& m, Journal& journal, uint64_t* executed, uint64_t memory_limit);
  ~Timeline();
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  // Before the instruction of this position runs: a checkpoint when one is due. They are due by the time the
  // process ran (the clock looked at every 4096 instructions), so that going back costs at most about that much
  // re-execution whatever the speed of the code; only past the latest one (not while running forward again).
  void pass(uint64_t position) {
    if ((position & 0xfff) == 0 || points_.empty()) consider(position);
  }
  // The guest or the kernel stores into [addr, addr + size).
  void written(uint32_t addr, uint32_t size);
  // The earliest position the process can be taken back to (none yet: the largest).
  uint64_t first() const;
  // Puts the process back at the latest checkpoint at or before position (after: strictly before); returns its
  // position. There is always one at or before any position past first().
  uint64_t restore(uint64_t position, bool before = false);
  // The debugger changed the machine: the past no longer leads here, and history starts again at the next
  // instruction.
  void forget();

 private:
  using Page = std::array<uint8_t, 4096>;
  using PagePtr = std::shared_ptr<const Page>;
  struct Point {
    uint64_t position;
    uint64_t journal;
    uint64_t executed;
    std::shared_ptr<uc_context> cpu;
    std::vector<PagePtr> pages;      // every writable page; all-zero ones share one
    std::vector<uint32_t> changed;   // the pages that differ from the point before
  };
  void consider(uint64_t position);
  void take(uint64_t position);
  // The pages that may differ between the machine now and point `to`.
  std::vector<uint32_t> differing(size_t to) const;
  PagePtr read_page(uint32_t page) const;
  static const PagePtr& zero();  // the one all-zero page every checkpoint shares
  uint32_t address_of(uint32_t page) const;
  void bound();
  void recount();

  Machine& m_;
  Journal& journal_;
  uint64_t* executed_;
  uint64_t limit_;
  std::vector<std::pair<uint32_t, uint32_t>> ranges_;  // the writable memory
  std::vector<uint32_t> first_page_;                   // the index of each range's first page
  uint32_t pages_ = 0;
  std::vector<Point> points_;                          // by position
  size_t base_ = 0;                                    // the point the machine ran forward from
  std::vector<bool> dirty_;                            // pages written since it
  std::vector<bool> ever_;                             // pages ever written (the others hold zeros)
  std::vector<uint32_t> dirty_list_;
  std::chrono::steady_clock::duration interval_ = std::chrono::milliseconds(20);  // running between two
  std::chrono::steady_clock::time_point due_;                                     // the next one is due
  uint64_t page_bytes_ = 0;
};

}  // namespace tavik
