// Deadline: a watchdog thread, or the block hook's clock reads, and bounded waits.
#include "kernel/deadline.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "cpu/machine.hpp"
#include "kernel/termination.hpp"

namespace tavik {
namespace {

// How often the block hook reads the clock under a time limit: often enough for a millisecond's precision.
constexpr uint32_t kBlocksPerClockCheck = 1024;

}  // namespace

Deadline::Deadline(Machine& m, std::optional<Clock::time_point> at) : m_(m) {
  if (!at) return;
  set_ = true;
  at_ = *at;
}

Deadline::~Deadline() { finish(); }

bool Deadline::passed() const { return termination_requested() || (set_ && Clock::now() >= at_); }

void Deadline::start(bool polled) {
  // With the block hook in place it watches the clock itself: no second thread, whose mere presence makes every
  // unmapping of the emulator's memory interrupt the other processors.
  if (!set_ || polled) return;
  watchdog_ = std::make_unique<Watchdog>();
  Watchdog& w = *watchdog_;
  w.thread = std::thread([this, &w] {
    std::unique_lock lock(w.mutex);
    if (w.cv.wait_until(lock, at_, [&w] { return w.done; })) return;
    reached_ = true;
    // A stop asked for before the emulation has started is lost, so it is repeated until the run is over.
    do m_.stop();
    while (!w.cv.wait_for(lock, std::chrono::milliseconds(10), [&w] { return w.done; }));
  });
}

void Deadline::finish() {
  if (!watchdog_) return;
  {
    std::lock_guard lock(watchdog_->mutex);
    watchdog_->done = true;
  }
  watchdog_->cv.notify_all();
  watchdog_->thread.join();
  watchdog_.reset();
}

void Deadline::abandon() { static_cast<void>(watchdog_.release()); }

void Deadline::poll() {
  if (!set_ || ++blocks_since_clock_ < kBlocksPerClockCheck) return;
  blocks_since_clock_ = 0;
  if (passed()) stop_run();
}

// A call cut short by the time limit ends the run here: the guest must not go on (to its exit, say) before the
// watchdog thread, which a loaded host may wake late, gets to stop it.
void Deadline::stop_run() {
  reached_ = true;
  m_.stop();
}

void Deadline::sleep_us(uint64_t us) {
  auto end = Clock::now() + std::chrono::microseconds(us);
  if (set_) end = std::min(end, at_);
  // In slices a termination cuts short.
  for (auto now = Clock::now(); now < end && !termination_requested(); now = Clock::now()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    ::poll(nullptr, 0, static_cast<int>(std::clamp<int64_t>(left + 1, 1, 1000)));
  }
  if (passed()) stop_run();
}

int Deadline::poll_timeout_ms() const {
  if (termination_requested()) return 0;
  if (!set_) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left + 1, 0, 1 << 30));
}

bool Deadline::wait_ready(int host_fd, short events, bool always) {
  if (!set_ && !always) return true;
  std::vector<pollfd> fds{{host_fd, events, 0}};
  return wait_any(fds);
}

bool Deadline::wait_any(std::vector<pollfd>& fds) {
  for (;;) {
    if (passed()) {
      stop_run();
      return false;
    }
    int r = ::poll(fds.data(), fds.size(), poll_timeout_ms());
    if (r > 0 || (r < 0 && errno != EINTR)) return true;  // ready, or an error the call itself will report
  }
}

}  // namespace tavik
