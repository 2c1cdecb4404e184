// Code built with -fsanitize=address: each kind of error is reported in the sanitizer's words at its source line,
// with where the address lies (the block and its allocation, the global, the frame's variable), and ends the run
// with status 1; a correct run is clean. The lines are found by the marker comments of the guest's source.
#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using namespace tavik::test;

std::string line_of(const std::string& marker) { return marked_line("address_errors.c", marker); }

Output checked(const std::string& what, const std::vector<std::string>& options = {}) {
  std::vector<std::string> all = options;
  all.push_back(target_program("debug_address_errors"));
  all.push_back(what);
  return run_program(TAVIK_RUN_EXE, all);
}

TEST(AddressSanitizer, EachErrorNamesItsKindLineAndWhereTheAddressLies) {
  struct Case {
    const char* arg;
    const char* headline;
    const char* where;
    const char* marker;
  };
  const Case cases[] = {
      {"heap", "heap-buffer-overflow on address", "is located 0 bytes after 10-byte region", "the heap write"},
      {"freed", "heap-use-after-free on address", "is located 3 bytes inside of 10-byte region", "the read after free"},
      {"global", "global-buffer-overflow on address", "2 bytes after global variable 'g_table' defined in '",
       "the global read"},
      {"stack", "stack-buffer-overflow on address", "'local' (line 15) <== memory access at offset 44 overflows",
       "the stack read"},
      {"memset", "heap-buffer-overflow on address", "is located 0 bytes after 10-byte region", "the library overruns"},
      {"double", "attempting double-free on", "is located 0 bytes inside of 10-byte region", "the second free"},
      {"wild", "attempting realloc on address which was not malloc()-ed", "2 bytes inside of global variable "
                                                                       "'g_table'", "the wild realloc"},
  };
  for (const Case& c : cases) {
    Output out = checked(c.arg);
    EXPECT_EQ(out.status, 1) << c.arg << ": " << out.err;
    EXPECT_NE(out.err.find(std::string("AddressSanitizer: ") + c.headline), std::string::npos) << out.err;
    EXPECT_NE(out.err.find(c.where), std::string::npos) << out.err;
    EXPECT_NE(out.err.find(line_of(c.marker) + ")"), std::string::npos) << c.arg << ": " << out.err;
    if (std::string(c.where).find("region") != std::string::npos) {
      EXPECT_NE(out.err.find("in block (" + line_of("the allocation line") + ")"), std::string::npos) << out.err;
    }
  }
  EXPECT_NE(checked("global").err.find("address_errors.c:5:13' (0x"), std::string::npos);
  Output heap = checked("heap");
  EXPECT_NE(heap.err.find("  WRITE of size 1 at 0x"), std::string::npos) << heap.err;
  // The summary names the access's line and column, as the compiler placed the check.
  EXPECT_NE(heap.err.find("SUMMARY: AddressSanitizer: heap-buffer-overflow " + line_of("the heap write") + ":14 in main"),
            std::string::npos) << heap.err;
}

TEST(AddressSanitizer, ACorrectRunIsCleanAndErrorsGoToTheJsonTrace) {
  Output clean = checked("clean");
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_EQ(clean.err, "");
  ScratchRoot dir;
  std::string json = dir.str() + "/t.json";
  EXPECT_EQ(checked("freed", {"--trace-json", json}).status, 1);
  std::string lines = read_file(json);
  EXPECT_NE(lines.find("\"asan\":\"heap-use-after-free\",\"access\":\"READ\",\"size\":1"), std::string::npos) << lines;
  // The image checks itself: the kit's own heap checker would answer the same calls.
  Output both = checked("clean", {"--memcheck"});
  EXPECT_EQ(both.status, 125);
  EXPECT_NE(both.err.find("built with -fsanitize=address"), std::string::npos) << both.err;
}

}  // namespace
