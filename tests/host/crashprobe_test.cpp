// crashprobe's command lines under tavik-run: the usage line and its statuses, the announcement, and the fault at
// the null store in main, with the writes each case asks of the kernel.
#include "support/cli.hpp"
#include "support/guest.hpp"

#include <tavik/meta.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstring>

namespace {

using tavik::RunResult;
using tavik::TraceEvent;
using tavik::test::GuestRun;

constexpr uint32_t k_write = TAVIK_NR_write, k_exit = TAVIK_NR__exit;
const std::string k_usage = "Usage: crashprobe yes";
const std::string k_announcement = "crashprobe: triggering deliberate crash";

std::string crashprobe() { return tavik::test::root_command("crashprobe"); }

GuestRun run_crashprobe(const std::vector<std::string>& args) {
  tavik::test::ScratchRoot root;
  tavik::RunOptions opt = tavik::test::in_root(root);
  return tavik::test::run_guest(crashprobe(), args, opt);
}

// puts writes the text, then the line feed, each with one write to descriptor 1.
void expect_line_written(const std::vector<TraceEvent>& trace, const std::string& text) {
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0].nr, k_write);
  EXPECT_EQ(trace[0].args[0], 1u);
  EXPECT_EQ(trace[0].data, text);
  EXPECT_EQ(trace[0].ret, static_cast<int32_t>(text.size()));
  EXPECT_EQ(trace[1].nr, k_write);
  EXPECT_EQ(trace[1].args[0], 1u);
  EXPECT_EQ(trace[1].data, "\n");
}

// The address of main's 32-bit store of 0 to address 0, which must be main's last instruction but the trap.
uint32_t null_store_address() {
  auto image = tavik::meta::ElfImage::load(crashprobe());
  auto mains = image.find_symbols("main");
  if (mains.size() != 1) throw std::runtime_error("crashprobe has no single main");
  const auto* text = image.find_section(".text");
  auto code = image.contents(*text).subspan(mains[0]->value - text->addr, mains[0]->size);
  const uint8_t store_then_trap[] = {0xc7, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0x0f, 0x0b};
  if (code.size() < sizeof store_then_trap ||
      std::memcmp(code.data() + code.size() - sizeof store_then_trap, store_then_trap, sizeof store_then_trap) != 0)
    throw std::runtime_error("main does not end in movl $0, 0; ud2");
  return mains[0]->value + mains[0]->size - sizeof store_then_trap;
}

TEST(Crashprobe, UsageLineAndStatusForEveryOtherCommandLine) {
  struct Case {
    std::vector<std::string> args;
    int32_t status;
  };
  const std::vector<Case> cases = {
      {{}, 1},          {{"-h"}, 0},     {{"-h", "yes"}, 0}, {{"YES"}, 1}, {{"y"}, 1},       {{"yess"}, 1},
      {{"--help"}, 1},  {{"-help"}, 1},  {{""}, 1},          {{"-H"}, 1},  {{"no", "yes"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    GuestRun run = run_crashprobe(c.args);
    ASSERT_EQ(run.result.end, RunResult::End::Exit) << run.err;
    EXPECT_EQ(run.result.status, c.status);
    EXPECT_EQ(run.out, k_usage + "\n");
    EXPECT_EQ(run.err, "");
    const auto& trace = run.result.trace;
    ASSERT_EQ(trace.size(), 3u);
    expect_line_written(trace, k_usage);
    EXPECT_EQ(trace[2].nr, k_exit);
    EXPECT_EQ(static_cast<int32_t>(trace[2].args[0]), c.status);
  }
}

TEST(Crashprobe, YesAnnouncesThenFaultsAtTheNullStore) {
  const uint32_t store = null_store_address();
  for (const auto& args : {std::vector<std::string>{"yes"}, std::vector<std::string>{"yes", "-h"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    GuestRun run = run_crashprobe(args);
    ASSERT_EQ(run.result.end, RunResult::End::Fault) << run.err;
    EXPECT_EQ(run.result.fault.kind, tavik::FaultKind::PageFault);
    EXPECT_EQ(run.result.fault.access, "write");
    EXPECT_EQ(run.result.fault.addr, 0u);
    EXPECT_EQ(run.result.fault.eip, store);
    EXPECT_EQ(run.result.host_exit_code(), 139);
    EXPECT_EQ(run.out, k_announcement + "\n");
    // The whole line reached descriptor 1 before the store, and nothing, _exit included, came after it.
    ASSERT_EQ(run.result.trace.size(), 2u);
    expect_line_written(run.result.trace, k_announcement);
  }
}

// Through tavik-run's command line, as a user runs it: the line on stdout, the report on stderr, and the end a
// native process would have: killed by SIGSEGV (status 139), without a core file.
TEST(Crashprobe, CommandLineRunExitsWith139AndReportsTheFault) {
  tavik::test::ScratchRoot root;
  tavik::test::Output run = tavik::test::run_program(TAVIK_RUN_EXE, {"--root", root.str(), crashprobe(), "yes"});
  EXPECT_TRUE(run.signaled);
  EXPECT_EQ(run.status, 139);
  EXPECT_EQ(run.out, k_announcement + "\n");
  char eip[16];
  std::snprintf(eip, sizeof eip, "0x%08x", null_store_address());
  const std::string& report = run.err;
  EXPECT_NE(report.find("page fault"), std::string::npos) << report;
  EXPECT_NE(report.find("write at 0x00000000"), std::string::npos) << report;
  EXPECT_NE(report.find(std::string("eip ") + eip), std::string::npos) << report;
}

// Vectors no kernel lays out: main must still look at nothing but argc and a non-null argv[1].
TEST(Crashprobe, ZeroNegativeCountsAndNullFirstArgumentGetTheUsageLine) {
  for (const char* vector : {"zero", "negative", "null", "null3"}) {
    SCOPED_TRACE(vector);
    GuestRun run = tavik::test::run_guest(tavik::test::target_program("crashprobe_argv"), {vector});
    ASSERT_EQ(run.result.end, RunResult::End::Exit) << run.err;
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.out, k_usage + "\n");
  }
  // The driver's own control: its vector with "yes" does fault.
  GuestRun yes = tavik::test::run_guest(tavik::test::target_program("crashprobe_argv"), {"yes"});
  EXPECT_EQ(yes.result.end, RunResult::End::Fault);
  EXPECT_EQ(yes.out, k_announcement + "\n");
}

}  // namespace
