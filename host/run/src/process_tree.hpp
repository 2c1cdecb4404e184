// ProcessTree: what one tree of processes shares (a tavik-run started from the command line or run_image, and
// every child it spawns, however deep): the count of live spawned processes, held to the process limit.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavik {

// The count sits in a shared anonymous page that forked children inherit, so every process of the tree sees the
// same number; each spawned process holds one slot from its spawn to its end.
class ProcessTree {
 public:
  ProcessTree();  // throws EmulatorError when the page cannot be had
  ~ProcessTree();
  ProcessTree(const ProcessTree&) = delete;
  ProcessTree& operator=(const ProcessTree&) = delete;

  // Takes a slot for a child about to be spawned: false when `limit` children are already alive.
  bool enter(uint32_t limit);
  // Gives a slot back: a spawn that failed, or a spawned process at its end.
  void leave();

 private:
  std::atomic<int32_t>* live_ = nullptr;
};

}  // namespace tavik
