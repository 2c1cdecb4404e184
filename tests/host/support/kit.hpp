// tavik-run's own suites: the guest images built from tests/guests, and lookups in a run's trace.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/guest.hpp"

namespace tavik::test {

inline std::string guest_image(const std::string& name) { return std::string(TAVIK_HOST_GUEST_DIR) + "/" + name; }

// The system calls of a run with this number, in order.
inline std::vector<TraceEvent> calls_of(const RunResult& r, uint32_t nr) {
  std::vector<TraceEvent> out;
  for (const TraceEvent& e : r.trace)
    if (e.nr == nr) out.push_back(e);
  return out;
}

// The results of all calls of a run, in order (the probe's $K tokens count the same calls, _exit aside).
inline std::vector<int32_t> results_of(const RunResult& r) {
  std::vector<int32_t> out;
  for (const TraceEvent& e : r.trace)
    if (e.nr != TAVIK_NR__exit) out.push_back(e.ret);
  return out;
}

// Runs the probe guest with a scratch root unless the options name one.
inline GuestRun probe(const std::vector<std::string>& commands, RunOptions opt = {}) {
  if (!opt.io.stdin_file) opt.io.stdin_file = "/dev/null";
  return run_guest(guest_image("probe"), commands, opt);
}

// A guest root beside a host folder "outside" holding a file "secret" that no guest may reach.
class RootWithOutside : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = base_.path() / "root";
    outside_ = base_.path() / "outside";
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(outside_);
    std::ofstream(outside_ / "secret") << "secret";
    opt_.io.root = root_.string();
  }
  ScratchRoot base_;
  std::filesystem::path root_, outside_;
  RunOptions opt_;
};

}  // namespace tavik::test
