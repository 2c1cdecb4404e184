// Inputs the fuzz targets once broke on (fuzz/regress/<target>/), replayed through the normal build: each must
// end in a result or a clear error, with the host unharmed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/guest.hpp"
#include "tavik/meta.hpp"

namespace {

using tavik::RunOptions;
using tavik::RunResult;
using tavik::test::ScratchRoot;

std::vector<std::filesystem::path> inputs(const std::string& target) {
  std::vector<std::filesystem::path> files;
  std::filesystem::path dir = std::filesystem::path(TAVIK_SOURCE_DIR) / "fuzz" / "regress" / target;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  return files;
}

RunResult run_bounded(const std::filesystem::path& image) {
  ScratchRoot root;
  tavik::RunOptions opt = tavik::test::in_root(root);
  opt.limits.insn_limit = 1'000'000;
  opt.limits.timeout = 5;
  return tavik::test::run_guest(image.string(), {}, opt).result;
}

TEST(FuzzRegress, LoaderInputsRunOrAreRefused) {
  auto files = inputs("loader");
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    RunResult r = run_bounded(file);
    SCOPED_TRACE(file.filename().string());
    if (r.end == RunResult::End::NotRun) {
      EXPECT_NE(r.error.find(file.string()), std::string::npos) << r.error;
      EXPECT_EQ(r.error.find("uc_"), std::string::npos) << "an emulator error, not a refusal: " << r.error;
    }
  }
}

TEST(FuzzRegress, AnInstructionTheEmulatorCannotTranslateIsAnInvalidOpcode) {
  // Far jumps and calls through a register: the emulator's translator gives up on them.
  std::filesystem::path dir = std::filesystem::path(TAVIK_SOURCE_DIR) / "fuzz" / "regress" / "loader";
  RunResult r = run_bounded(dir / "far-jump-through-register");
  EXPECT_EQ(r.end, RunResult::End::Fault);
  EXPECT_EQ(r.fault.kind, tavik::FaultKind::InvalidOpcode);
  EXPECT_EQ(r.fault.eip, 0x400054u);
  EXPECT_EQ(r.host_exit_code(), 132);
  // In the middle of a block, the report names the instruction, not the block.
  r = run_bounded(dir / "far-call-through-register-mid-block");
  EXPECT_EQ(r.fault.kind, tavik::FaultKind::InvalidOpcode);
  EXPECT_EQ(r.fault.eip, 0x400056u);
  // And the next run in the same host process is unharmed.
  r = run_bounded(std::filesystem::path(TAVIK_SOURCE_DIR) / "fuzz" / "seeds" / "images" / "tiny-runs");
  EXPECT_EQ(r.end, RunResult::End::Exit);
  EXPECT_EQ(r.status, 0);
}

TEST(FuzzRegress, MetaReadsEveryInputToAResultOrAnError) {
  auto files = inputs("loader");
  auto more = inputs("meta");
  files.insert(files.end(), more.begin(), more.end());
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    try {
      auto image = tavik::meta::ElfImage::load(file.string());
      for (auto mode : {tavik::meta::ImageChecker::Mode::Full, tavik::meta::ImageChecker::Mode::LayoutOnly})
        (void)tavik::meta::ImageChecker(mode).check(image);
      (void)tavik::meta::read_records(image);
    } catch (const tavik::meta::MetaError&) {
    }
  }
}

}  // namespace
