// --memcheck: each kind of memory error is reported once per site, at its source line, with where the address
// lies and the allocation's (and release's) line; correct use of the heap reports nothing; the run goes on and
// --error-exitcode decides the status. The lines are found by the marker comments of the guest's source.
#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using namespace tavik::test;

std::string line_of(const std::string& marker) { return marked_line("memory_errors.c", marker); }

Output memcheck(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--memcheck", "--error-exitcode", "9", target_program("debug_memory_errors")};
  all.insert(all.end(), args.begin(), args.end());
  return run_program(TAVIK_RUN_EXE, all);
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Memcheck, EachErrorNamesItsKindLineAndBlock) {
  struct Case {
    const char* arg;
    const char* headline;
    const char* where;
    const char* marker;
  };
  const Case cases[] = {
      {"after", "invalid write of 1 byte", "0 bytes after a block of size 10 allocated", "the write after"},
      {"before", "invalid read of 1 byte", "1 byte before a block of size 10 allocated", "the read before"},
      {"freed", "invalid read of 1 byte", "3 bytes inside a block of size 10 freed", "the read after free"},
      {"memset", "invalid write of 1 byte", "0 bytes after a block of size 10 allocated", "the library overruns"},
      {"double", "invalid free of", "0 bytes inside a block of size 10 freed", "the second free"},
      {"wild", "invalid free of 0x00001234", "not in the heap", "the wild free"},
      {"realloc", "invalid realloc of", "2 bytes inside a block of size 10 allocated", "the interior realloc"},
      {"header", "invalid write of 4 bytes", "4 bytes before a block of size 10 allocated", "the header overwritten"},
      {"stack", "invalid read of 4 bytes", "bytes below the stack pointer", "the read below the stack pointer"},
      {"call", "invalid read by write() of 1 byte", "0 bytes after a block of size 10 allocated",
       "the call that reads past"},
  };
  for (const Case& c : cases) {
    Output out = memcheck({c.arg});
    EXPECT_EQ(out.status, 9) << c.arg << ": the run went on to its end, and found an error";
    EXPECT_NE(out.err.find(c.headline), std::string::npos) << out.err;
    EXPECT_NE(out.err.find(c.where), std::string::npos) << out.err;
    EXPECT_NE(out.err.find(line_of(c.marker) + ")"), std::string::npos) << c.arg << ": " << out.err;
    if (std::string(c.where).find("block") != std::string::npos) {
      EXPECT_NE(out.err.find("in block (" + line_of("the allocation line") + ")"), std::string::npos) << out.err;
    }
  }
  // The library's function is the innermost frame, its caller the program's line.
  EXPECT_NE(memcheck({"memset"}).err.find("#0 0x"), std::string::npos);
  // A freed block says where it was freed.
  EXPECT_NE(memcheck({"freed"}).err.find("  freed:\n"), std::string::npos);
}

TEST(Memcheck, CorrectUseIsCleanAndOneSiteIsReportedOnce) {
  Output clean = memcheck({"clean"});
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(clean.err.find("memcheck: 0 errors; heap: 3 allocations (90 bytes), 2 frees (74 bytes); in use at exit: "
                           "1 block (16 bytes)"),
            std::string::npos)
      << clean.err;
  ScratchRoot dir;
  std::string json = dir.str() + "/t.json";
  Output loop = run_program(TAVIK_RUN_EXE, {"--memcheck", "--trace-json", json, target_program("debug_memory_errors"), "loop"});
  EXPECT_EQ(loop.status, 0) << "without --error-exitcode the guest's own status";
  EXPECT_EQ(count(loop.err, "invalid write"), 1u) << loop.err;
  EXPECT_NE(loop.err.find("memcheck: 100 errors at 1 site"), std::string::npos) << loop.err;
  std::string lines = read_file(json);
  EXPECT_EQ(count(lines, "\"memcheck\":\"invalid write\""), 1u) << lines;
  EXPECT_NE(lines.find("\"memcheck_summary\":{\"errors\":100"), std::string::npos) << lines;
  // The option belongs to the check.
  EXPECT_EQ(run_program(TAVIK_RUN_EXE, {"--error-exitcode", "3", target_program("debug_memory_errors")}).status, 125);
}

}  // namespace
