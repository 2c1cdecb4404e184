// Source lines and backtraces: fault reports and limit stops of guests built with debug information name the
// file and line of each frame, as the guest's own source says (each checked line carries a marker comment), and
// the JSON end line carries the same frames.
#include <fstream>
#include <sstream>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using namespace tavik::test;

const std::string kSources = std::string(TAVIK_SOURCE_DIR) + "/tests/guests/debug/";

// "file:N" for the line of file holding marker.
std::string line_of(const std::string& file, const std::string& marker) {
  std::ifstream in(kSources + file);
  std::string text;
  for (int n = 1; std::getline(in, text); ++n)
    if (text.find(marker) != std::string::npos) return file + ":" + std::to_string(n);
  return file + ": no " + marker;
}

// The backtrace lines of a report, without their addresses: "#1 in kv_load (kv_store.c:19)".
std::vector<std::string> frames_of(const std::string& report) {
  std::vector<std::string> out;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    size_t hash = line.find("    #");
    size_t in_at = line.find(" in ");
    if (hash == 0 && in_at != std::string::npos) out.push_back(line.substr(4, line.find(' ', 5) - 4) + line.substr(in_at));
  }
  return out;
}

TEST(SourceReport, FaultsShowTheLineAndEveryFrameOfTheSource) {
  ScratchRoot dir;
  std::string json = dir.str() + "/t.json";
  Output kv = run_program(TAVIK_RUN_EXE, {"--trace-json", json, target_program("debug_kv"), "!x"});
  EXPECT_EQ(kv.status, 139);
  EXPECT_NE(kv.err.find("\n  source: " + line_of("kv_store.c", "FAULT") + "\n"), std::string::npos) << kv.err;
  EXPECT_EQ(frames_of(kv.err), (std::vector<std::string>{"#0 in kv_parse (" + line_of("kv_store.c", "FAULT") + ")",
                                                          "#1 in kv_load (" + line_of("kv_store.c", "CALL kv_parse") + ")",
                                                          "#2 in main (" + line_of("kv_main.c", "CALL kv_load") + ")",
                                                          "#3 in _start"}))
      << kv.err;
  std::string end = read_file(json);
  end = end.substr(end.rfind("\"fault\""));
  EXPECT_NE(end.find("\"function\":\"kv_parse\""), std::string::npos) << end;
  EXPECT_NE(end.find("kv_store.c\",\"line\":" + line_of("kv_store.c", "FAULT").substr(11)), std::string::npos) << end;

  Output shapes = run_program(TAVIK_RUN_EXE, {target_program("debug_shapes")});
  EXPECT_EQ(shapes.status, 136);
  EXPECT_NE(shapes.err.find("(Polygon::sides() const+0x"), std::string::npos) << "the first line demangles too";
  EXPECT_EQ(frames_of(shapes.err),
            (std::vector<std::string>{"#0 in Polygon::sides() const (" + line_of("shapes.cpp", "FAULT") + ")",
                                      "#1 in int count_sides<Shape>(Shape const&) (" +
                                          line_of("shapes.cpp", "CALL Polygon::sides") + ")",
                                      "#2 in main (" + line_of("shapes.cpp", "CALL count_sides") + ")",
                                      "#3 in _start"}))
      << shapes.err;
}

TEST(SourceReport, ALimitStopSaysWhichLimitAndWhere) {
  Output spin = run_program(TAVIK_RUN_EXE, {"--insn-limit", "1000000", target_program("debug_kv"), "spin"});
  EXPECT_EQ(spin.status, 137);
  EXPECT_EQ(spin.err.rfind("tavik: debug_kv: stopped by the instruction limit, eip 0x", 0), 0u) << spin.err;
  std::vector<std::string> frames = frames_of(spin.err);
  ASSERT_GE(frames.size(), 2u) << spin.err;
  EXPECT_EQ(frames[0].substr(0, 12), "#0 in spin (") << spin.err;
  EXPECT_EQ(frames[1], "#1 in main (" + line_of("kv_main.c", "CALL spin") + ")");
  // Without debug information the chain of frame pointers still names the functions, and says so.
  Output plain = run_program(TAVIK_RUN_EXE, {guest_image("faults"), "n"});
  EXPECT_NE(plain.err.find("backtrace (frame pointers; no debug information):\n    #0 0x"), std::string::npos)
      << plain.err;
}

}  // namespace
