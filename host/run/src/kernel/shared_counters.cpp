// SharedCounters: the shared page; slots taken before the fork and given back when the child is reaped.
#include "kernel/shared_counters.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "base/errors.hpp"
#include "tavik/run.hpp"

namespace tavik {
namespace {

// Longer limits are no limit in practice, and would overflow the clock's arithmetic.
constexpr double kLongestTimeout = 1e9;

}  // namespace

SharedCounters::SharedCounters(const LimitOptions& limits) {
  root_ = ::getpid();
  if (limits.timeout > 0) {
    double seconds = std::min(limits.timeout, kLongestTimeout);
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  void* page = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) throw EmulatorError("cannot map the process counters");
  shared_ = new (page) Shared{{0}, {limits.insn_limit}};
  insns_limited_ = limits.insn_limit != 0;
}

SharedCounters::~SharedCounters() {
  // Children still running keep their own mapping of the page; this only drops this process's.
  ::munmap(shared_, sizeof(Shared));
}

bool SharedCounters::enter(uint32_t limit) {
  if (shared_->live.fetch_add(1) >= static_cast<int32_t>(limit)) {
    shared_->live.fetch_sub(1);
    return false;
  }
  return true;
}

void SharedCounters::leave() { shared_->live.fetch_sub(1); }

uint64_t SharedCounters::take_insns(uint64_t want) {
  uint64_t left = shared_->insns_left.load();
  uint64_t got;
  do got = std::min(left, want);
  while (got != 0 && !shared_->insns_left.compare_exchange_weak(left, left - got));
  return got;
}

void SharedCounters::give_back_insns(uint64_t n) { shared_->insns_left.fetch_add(n); }

}  // namespace tavik
