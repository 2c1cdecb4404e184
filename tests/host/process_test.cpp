// How a tavik process ends: main's result and exit's status reach the kernel unchanged, abort is status 1, and
// nothing runs at the end (atexit records nothing, streams are not closed).
#include "support/guest.hpp"

#include <gtest/gtest.h>

namespace {

tavik::test::GuestRun end_by(std::vector<std::string> args) {
  return tavik::test::run_guest(tavik::test::target_program("process_end"), args);
}

TEST(ProcessEnd, StatusReachesTheKernelUnchanged) {
  for (const char* how : {"return", "exit"}) {
    for (int32_t status : {0, 1, 7, 255, 256, -1, -5, 0x7fffffff, -0x7fffffff - 1}) {
      auto run = end_by({how, std::to_string(status)});
      ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << how << " " << status << run.err;
      EXPECT_EQ(run.result.status, status) << how;
      EXPECT_EQ(run.result.host_exit_code(), status & 0xff) << how;
      // Nothing but the end: no write, one _exit.
      ASSERT_EQ(run.result.trace.size(), 1u) << how;
      EXPECT_EQ(run.result.trace[0].nr, TAVIK_NR__exit);
      EXPECT_EQ(run.result.trace[0].args[0], static_cast<uint32_t>(status));
    }
  }
}

TEST(ProcessEnd, AbortIsStatusOne) {
  auto run = end_by({"abort"});
  EXPECT_EQ(run.result.end, tavik::RunResult::End::Exit);
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.out, "") << "abort writes no message";
  // The kit says where it was called, with the caller in the backtrace.
  EXPECT_EQ(run.err.rfind("tavik: process_end: abort called, eip ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(" in main"), std::string::npos) << run.err;
}

TEST(ProcessEnd, AtexitHandlersNeverRun) {
  auto run = end_by({"atexit", "3"});
  EXPECT_EQ(run.result.status, 3);
  EXPECT_EQ(run.out, "");
}

TEST(ProcessEnd, MainGetsTheArgumentVector) {
  auto run = end_by({"argc", "b", "c"});
  EXPECT_EQ(run.result.status, 4);
}

}  // namespace
