// ProcessTree: one shared counter per tree; slots taken before the fork, given back by the child at its end.
#include "process_tree.hpp"

#include <sys/mman.h>

#include "errors.hpp"

namespace tavik {

ProcessTree::ProcessTree() {
  void* page = ::mmap(nullptr, sizeof(std::atomic<int32_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) throw EmulatorError("cannot map the process counter");
  live_ = new (page) std::atomic<int32_t>(0);
}

ProcessTree::~ProcessTree() {
  // Children still running keep their own mapping of the page; this only drops this process's.
  ::munmap(live_, sizeof(std::atomic<int32_t>));
}

bool ProcessTree::enter(uint32_t limit) {
  if (live_->fetch_add(1) >= static_cast<int32_t>(limit)) {
    live_->fetch_sub(1);
    return false;
  }
  return true;
}

void ProcessTree::leave() { live_->fetch_sub(1); }

}  // namespace tavik
