// What every in-process fuzz run of tavik-run shares: a scratch root emptied between runs, and the host
// descriptors behind the guest's standard streams.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tavik/run.hpp"

namespace tavik::fuzz {

class FuzzEnv {
 public:
  FuzzEnv() {
    ::signal(SIGPIPE, SIG_IGN);
    // Every run maps fresh guest memory; zeroing a huge page for each mapping would cost more than the run.
    ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    // The root lives in memory where it can: a guest looping over mkdir spent most of its run in a disk file
    // system's search for a free inode among the ones the previous runs had just deleted.
    std::string templ = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/tavik-fuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    root_ = templ;
    null_ = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_ < 0) std::abort();
  }
  ~FuzzEnv() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  static FuzzEnv& instance() {
    static FuzzEnv env;
    return env;
  }

  const std::string& root() const { return root_; }
  int null_fd() const { return null_; }

  // A guest may leave files behind; the next input starts from an empty root so that runs stay independent.
  void clean_root() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root_, ec)) std::filesystem::remove_all(entry, ec);
  }

  // Options that keep a run bounded and inside this process: no children (spawn answers -11), small files.
  RunOptions options() const {
    RunOptions opt;
    opt.io.root = root_;
    opt.io.stdin_fd = opt.io.stdout_fd = opt.io.stderr_fd = null_;
    opt.trace.keep = false;
    opt.limits.process_limit = 0;
    opt.limits.file_size_limit = 1 << 20;
    opt.limits.timeout = 2.0;
    return opt;
  }

 private:
  std::string root_;
  int null_ = -1;
};

}  // namespace tavik::fuzz

// Each run frees an emulator's worth of memory; a small quarantine lets the next run reuse it instead of
// faulting in fresh pages, while a use after free within a run is still caught. Filling every new block with a
// pattern finds nothing by itself and cost a tenth of each run; so did recording where each block was allocated
// (the emulator allocates per guest store to a page holding code). Replay a finding with
// ASAN_OPTIONS=malloc_context_size=30 to see those stacks.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16:max_malloc_fill_size=0:malloc_context_size=0";
}
