// The emulator under the guest: self-modifying code, and x87 arithmetic to the last bit.
#include <elf.h>

#include <cstring>
#include <fstream>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using tavik::RunResult;

// The smc guest with its text segment made writable, as a command that writes code would be linked.
std::string writable_text_smc(const tavik::test::ScratchRoot& dir) {
  std::string b = tavik::test::read_file(tavik::test::guest_image("smc"));
  auto& eh = *reinterpret_cast<Elf32_Ehdr*>(b.data());
  for (int i = 0; i < eh.e_phnum; ++i) {
    auto& ph = *reinterpret_cast<Elf32_Phdr*>(b.data() + eh.e_phoff + i * sizeof(Elf32_Phdr));
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) ph.p_flags = PF_R | PF_W | PF_X;
  }
  std::string path = dir.str() + "/smc";
  std::ofstream(path, std::ios::binary) << b;
  return path;
}

TEST(Emulator, SelfModifyingCodeRunsWhatWasWrittenInBoundedMemory) {
  tavik::test::ScratchRoot dir;
  std::string image = writable_text_smc(dir);
  // A million rewrites of the instruction about to run: every one must be seen, and the translations of the
  // stale code must not pile up in tavik-run.
  std::string out_path = dir.str() + "/out";
  int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  tavik::test::Ended run = tavik::test::wait_cli(tavik::test::start_cli({image, "r", "1000000"}, {-1, out, -1}), 120);
  ::close(out);
  EXPECT_EQ(run.status, 0);
  std::string sum = tavik::test::read_file(out_path);
  ASSERT_EQ(sum.size(), 4u);
  uint32_t value;
  std::memcpy(&value, sum.data(), 4);
  EXPECT_EQ(value, static_cast<uint32_t>(500000500000ull));  // 1 + 2 + ... + 10^6, modulo 2^32
  EXPECT_LT(run.max_rss_kib, 96 * 1024);
  // Code copied to the stack does not run: the stack is not executable.
  auto stack = tavik::test::run_guest(image, {"c"});
  EXPECT_EQ(stack.result.fault.kind, tavik::FaultKind::PageFault);
  EXPECT_EQ(stack.result.fault.access, "exec");
  EXPECT_EQ(stack.result.fault.eip, stack.result.fault.addr);
  EXPECT_GT(stack.result.fault.eip, 0xBF000000u);
}

TEST(Emulator, SelfModifyingCodeIsCountedExactly) {
  // Each round of "r N" rewrites the instruction after its store, in the block that is running: 4 instructions a
  // round, and 20 and 7 per digit of N around them. The cut block is counted as far as it ran, and a limit of exactly that many suffices.
  tavik::test::ScratchRoot dir;
  std::string image = writable_text_smc(dir);
  tavik::test::Output run = tavik::test::run_program(TAVIK_RUN_EXE, {"--count-insns", image, "r", "300000"});
  EXPECT_EQ(run.err, "instructions: 1200062\n");
  std::string profile = dir.str() + "/profile";
  tavik::test::run_program(TAVIK_RUN_EXE, {"--profile", profile, image, "r", "300000"});
  EXPECT_NE(tavik::test::read_file(profile).find("\ntotals: 1200062\n"), std::string::npos) << "profiles too";
  EXPECT_EQ(tavik::test::run_program(TAVIK_RUN_EXE, {"--insn-limit", "1200062", image, "r", "300000"}).status, 0);
  EXPECT_EQ(tavik::test::run_program(TAVIK_RUN_EXE, {"--insn-limit", "1200061", image, "r", "300000"}).status, 137);
}

TEST(Emulator, X87ExtendedResultsAreExact) {
  auto run = tavik::test::run_guest(tavik::test::guest_image("x87"), {});
  ASSERT_EQ(run.out.size(), 30u) << run.err;
  volatile long double three = 3, two = 2;
  const long double want[3] = {1.0L / three, __builtin_sqrtl(two), static_cast<long double>(0x7ffffffffffffff7ll)};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(run.out.data() + 10 * i, &want[i], 10), 0) << "result " << i;
}

}  // namespace

namespace {

TEST(Emulator, OverflowFlagAfterEachArithmeticIsExact) {
  // add, sub, cmp, neg and imul of each width over edge values, read by seto and jo against 64-bit arithmetic.
  std::string guest = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/overflow_flag";
  tavik::test::Output run = tavik::test::run_program(TAVIK_RUN_EXE, {guest});
  EXPECT_EQ(run.status, 0) << "mismatches: " << run.status;
}

}  // namespace
