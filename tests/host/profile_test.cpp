// Profiles: a known call tree gives exact instructions per line and exact calls with their inclusive cost, a
// fault and a spawned child are counted as the instruction counter counts them, and callgrind_annotate reads
// the files.
#include <filesystem>
#include <fstream>
#include <regex>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using namespace tavik::test;
namespace fs = std::filesystem;

std::string summary(const std::string& profile) {
  std::smatch m;
  return std::regex_search(profile, m, std::regex(R"(\nsummary: (\d+)\n)")) ? m[1].str() : "none";
}

TEST(Profile, AKnownCallTreeHasExactLineCostsAndInclusiveCalls) {
  ScratchRoot dir;
  std::string file = dir.str() + "/callgrind.out";
  Output out = run_program(TAVIK_RUN_EXE, {"--count-insns", "--profile", file, target_program("debug_calltree")});
  ASSERT_EQ(out.status, 0) << out.err;
  std::string profile = read_file(file);
  // Each instruction of the source is a line whose comment says how often it runs.
  std::ifstream src(std::string(TAVIK_SOURCE_DIR) + "/tests/guests/debug/calltree.S");
  std::regex count(R"(^\S*\s+[a-z]+ .*/\* (\d+) \*/)");
  std::smatch m;
  std::map<std::string, int> line_of;
  int n = 1, counted = 0;
  for (std::string line; std::getline(src, line); ++n) {
    if (std::regex_search(line, m, count)) {
      ++counted;
      EXPECT_NE(profile.find("\n" + std::to_string(n) + " " + m[1].str() + "\n"), std::string::npos)
          << "line " << n << ": " << line << "\n" << profile;
    }
    if (line.find(':') != std::string::npos && line.find_first_of(" \t.") != 0)
      line_of[line.substr(0, line.find(':'))] = n + 1;
  }
  EXPECT_EQ(counted, 18);
  auto calls = [&](int count, const std::string& callee, const std::string& site, int inclusive) {
    return "calls=" + std::to_string(count) + " " + std::to_string(line_of[callee]) + "\n" + site + " " +
           std::to_string(inclusive) + "\n";
  };
  for (const std::string& call : {calls(3, "mid", std::to_string(line_of["main"] + 2), 45),
                                  calls(1, "leaf", std::to_string(line_of["main"] + 5), 6),
                                  calls(1, "tail", std::to_string(line_of["main"] + 6), 7),
                                  calls(1, "leaf", std::to_string(line_of["tail"]), 6),
                                  calls(3, "leaf", std::to_string(line_of["mid"]), 18),
                                  calls(3, "leaf", std::to_string(line_of["mid"] + 1), 18)})
    EXPECT_NE(profile.find(call), std::string::npos) << call << profile;
  // The start code has no lines: its call of main is at line 0.
  EXPECT_TRUE(std::regex_search(profile, std::regex("cfn=\\(\\d+\\) main\ncalls=1 " + std::to_string(line_of["main"]) +
                                                        "\n0 74\n")))
      << profile;
  EXPECT_NE(out.err.find("instructions: " + summary(profile) + "\n"), std::string::npos) << out.err << profile;
  // callgrind's own reader agrees: main's 74 instructions with its calls out of all of them.
  Output annotate = run_program("callgrind_annotate", {"--inclusive=yes", file});
  ASSERT_EQ(annotate.status, 0) << annotate.err;
  EXPECT_EQ(annotate.err, "");
  EXPECT_TRUE(std::regex_search(annotate.out, std::regex(R"(\n74 \([0-9.]+%\)  \S*calltree.S:main\n)"))) << annotate.out;
}

TEST(Profile, AFaultAndASpawnedChildAreCountedExactly) {
  ScratchRoot dir;
  std::string file = dir.str() + "/shapes.out";
  Output fault = run_program(TAVIK_RUN_EXE, {"--count-insns", "--profile", file, target_program("debug_shapes")});
  EXPECT_EQ(fault.status, 128 + 8);
  std::string profile = read_file(file);
  EXPECT_NE(fault.err.find("instructions: " + summary(profile) + "\n"), std::string::npos) << fault.err << profile;
  EXPECT_NE(profile.find(") Polygon::sides() const\n"), std::string::npos) << profile;
  // The child writes FILE.PID of its own.
  fs::copy_file(guest_image("hostile"), dir.path() / "hostile");
  std::string tree = dir.str() + "/tree.out";
  Output spawn = run_program(TAVIK_RUN_EXE, {"--root", dir.str(), "--profile", tree, dir.str() + "/hostile", "child", "x"});
  std::vector<std::string> children;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().rfind("tree.out.", 0) == 0) children.push_back(e.path().string());
  ASSERT_EQ(children.size(), 1u);
  for (const std::string& f : {tree, children[0]}) {
    std::string text = read_file(f);
    EXPECT_NE(text.find("\ntotals: " + summary(text) + "\n"), std::string::npos) << text;
    Output annotate = run_program("callgrind_annotate", {f});
    EXPECT_EQ(annotate.status, 0) << annotate.err;
    EXPECT_EQ(annotate.err, "");
  }
}

}  // namespace
