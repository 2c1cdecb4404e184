// The heap and the string functions never enter the kernel: the arena is part of the image, so even filling it
// and failing asks the kernel for nothing. The only calls in the trace are the test framework's own writes to
// descriptor 1 and the final _exit.
#include "support/guest.hpp"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t k_write = TAVIK_NR_write, k_exit = TAVIK_NR__exit;

void expect_only_framework_calls(const std::string& program, const std::vector<std::string>& args) {
  tavik::test::ScratchRoot root;
  tavik::RunOptions opt = tavik::test::in_root(root);
  tavik::test::GuestRun run = tavik::test::run_guest(tavik::test::target_test(program), args, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 0) << run.out;
  ASSERT_FALSE(run.result.trace.empty());
  EXPECT_EQ(run.result.trace.back().nr, k_exit);
  std::string written;
  for (size_t i = 0; i + 1 < run.result.trace.size(); i++) {
    const tavik::TraceEvent& e = run.result.trace[i];
    EXPECT_EQ(e.nr, k_write) << program << ": call " << i << " is " << e.name;
    EXPECT_EQ(e.args[0], 1u) << program << ": call " << i;
    written += e.data;
  }
  EXPECT_EQ(written, run.out);
  EXPECT_NE(run.out.find(" passed, 0 failed\n"), std::string::npos) << run.out;
}

TEST(StringTrace, HeapUpToExhaustionMakesNoSystemCall) {
  expect_only_framework_calls("heap_test", {});
  expect_only_framework_calls("heap_whole_test", {"whole"});
}

TEST(StringTrace, StringFunctionsMakeNoSystemCall) {
  expect_only_framework_calls("string_test", {});
}

}  // namespace
