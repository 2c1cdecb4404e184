// SharedCounters: the numbers every process of one tree shares (a tavik-run started from the command line or
// run_image, and every child it spawns, however deep): the count of spawned processes not yet reaped, held to
// the process limit; the instruction budget; and the one deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tavik {

struct LimitOptions;

// The counters sit in a shared anonymous page that forked children inherit, so every process of the tree sees
// the same numbers. A spawned process holds its slot from its spawn until its parent reaps it.
class SharedCounters {
 public:
  using Clock = std::chrono::steady_clock;

  // The deadline starts now (the limits are valid). Throws EmulatorError when the shared page cannot be had.
  explicit SharedCounters(const LimitOptions& limits);
  ~SharedCounters();
  SharedCounters(const SharedCounters&) = delete;
  SharedCounters& operator=(const SharedCounters&) = delete;

  // Takes a slot for a child about to be spawned: false when `limit` children are already there.
  bool enter(uint32_t limit);
  // Gives a slot back: a spawn that failed, or a child reaped.
  void leave();

  // The time limit of every process of the tree, if there is one.
  std::optional<Clock::time_point> deadline() const { return deadline_; }

  // The host process that made the tree: the one that is no spawned child.
  int root() const { return root_; }

  bool insns_limited() const { return insns_limited_; }
  // Takes up to `want` instructions from the budget; returns how many it got.
  uint64_t take_insns(uint64_t want);
  // Returns instructions taken and not executed.
  void give_back_insns(uint64_t n);

 private:
  struct Shared {
    std::atomic<int32_t> live;
    std::atomic<uint64_t> insns_left;
  };
  Shared* shared_ = nullptr;
  int root_ = 0;
  std::optional<Clock::time_point> deadline_;
  bool insns_limited_ = false;
};

}  // namespace tavik
