// Coverage: the lcov tracefile of a guest with known branches holds exact line and function counts (each counted
// line of the source says its count), runs append, and lcov's own tools read the file.
#include <fstream>
#include <map>
#include <regex>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using namespace tavik::test;

const std::string kSource = std::string(TAVIK_SOURCE_DIR) + "/tests/guests/debug/branches.c";

TEST(Coverage, LinesAndFunctionsAreCountedExactlyAndRunsAppend) {
  ScratchRoot dir;
  std::string info = dir.str() + "/cov.info";
  for (int run = 1; run <= 2; ++run) {
    Output out = run_program(TAVIK_RUN_EXE, {"--coverage", info, target_program("debug_branches")});
    ASSERT_EQ(out.status, 0) << out.err;
  }
  std::string text = read_file(info);
  EXPECT_EQ(text.find("SF:" + kSource + "\n"), text.rfind("SF:" + kSource + "\n") - text.size() / 2)
      << "each run appends one record: " << text;
  std::string record = text.substr(0, text.find("end_of_record"));
  std::ifstream src(kSource);
  std::regex count(R"(/\* COUNT (\d+) \*/)");
  std::smatch m;
  int n = 1;
  for (std::string line; std::getline(src, line); ++n)
    if (std::regex_search(line, m, count)) {
      EXPECT_NE(record.find("DA:" + std::to_string(n) + "," + m[1].str() + "\n"), std::string::npos)
          << "line " << n << ": " << line << "\n" << record;
    }
  for (const char* fn : {"FNDA:10,classify\n", "FNDA:1,main\n", "FNDA:0,never\n", "FNF:3\nFNH:2\n"})
    EXPECT_NE(record.find(fn), std::string::npos) << record;
  // lcov's own tools take the file: it sums the two runs and renders them.
  Output summary = run_program("lcov", {"--summary", info});
  EXPECT_EQ(summary.status, 0) << summary.out << summary.err;
  EXPECT_NE((summary.out + summary.err).find("lines......: 77.8% (14 of 18 lines)"), std::string::npos)
      << summary.out << summary.err;
  Output html = run_program("genhtml", {"--quiet", "-o", dir.str() + "/html", info});
  EXPECT_EQ(html.status, 0) << html.err;
  std::string page = read_file(dir.path() / "html/debug/branches.c.gcov.html");
  EXPECT_NE(page.find("classify"), std::string::npos) << "the source page with its counts";
}

}  // namespace
