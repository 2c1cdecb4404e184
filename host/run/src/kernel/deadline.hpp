// Deadline: the time limit of a run. The emulation is stopped when it passes, by a watchdog thread or, where the
// block hook is in place anyway, by the hook itself; calls that wait (sleeps, reads, waits for children) wait no
// longer than it leaves.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <poll.h>

namespace tavik {

class Machine;

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // The tree's deadline, if it has one.
  Deadline(Machine& m, std::optional<Clock::time_point> at);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  bool set() const { return set_; }
  // The limit passed, or the run was asked to end (a termination): either way a wait is over.
  bool passed() const;
  // True once the limit stopped the run.
  bool reached() const { return reached_; }

  // Starts watching: a thread stops the emulation at the deadline unless the caller polls (block hook).
  void start(bool polled);
  // Stops the thread.
  void finish();
  // In a host process a spawn has just forked: the thread stayed in the parent, and it may have held the mutex at
  // the fork, so neither is touched again here (the handle is let go of, never joined).
  void abandon();
  // The block hook's share of the watching: reads the clock once every so many blocks.
  void poll();
  // The limit passed inside a call: the run ends as timed out, before the guest goes on.
  void stop_run();

  // Sleeps for us microseconds of wall time, but no longer than the limit leaves.
  void sleep_us(uint64_t us);
  // Waits until the host descriptor is ready (poll events) or the limit passes: false when it passed. Without a
  // limit it returns at once unless `always` asks for the wait anyway.
  bool wait_ready(int host_fd, short events, bool always = false);
  // Waits until one of fds is ready or the limit passes (false); without a limit, until one is ready.
  bool wait_any(std::vector<pollfd>& fds);
  // Milliseconds left for a poll: -1 without a limit.
  int poll_timeout_ms() const;

 private:
  Machine& m_;
  bool set_ = false;
  Clock::time_point at_{};
  std::atomic<bool> reached_{false};
  uint32_t blocks_since_clock_ = 0;
  // The watching thread and what it waits on, apart, so that a forked child can let go of them whole: a copy of a
  // condition variable that had a waiter at the fork cannot even be destroyed.
  struct Watchdog {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  std::unique_ptr<Watchdog> watchdog_;
};

}  // namespace tavik
