// -fsanitize=undefined: each check that fires is reported by tavik-run in the sanitizer's words, at the
// file:line:col the compiler recorded, once per site; the program goes on, except past an unreachable point.
#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using namespace tavik::test;

// "undefined.c:N:": the line and the column after it.
std::string line_of(const std::string& marker) { return marked_line("undefined.c", marker) + ":"; }

TEST(Undefined, EachCheckSaysWhatAndWhere) {
  struct Case {
    const char* arg;
    const char* marker;
    const char* message;
    int status;
  };
  const Case cases[] = {
      {"overflow", "the overflow", "runtime error: signed integer overflow: 2147483647 + 1 cannot be represented "
                                   "in type 'int'", 0},
      {"shift", "the shift", "runtime error: shift exponent 32 is too large for 32-bit type 'int'", 0},
      {"index", "the index", "runtime error: index 4 out of bounds for type 'int [4]'", 0},
      {"misaligned", "the misaligned load", "runtime error: load of misaligned address 0x", 0},
      {"divide", "the division", "runtime error: division by zero", 136},  // then the division itself faults
      {"unreachable", "the unreachable point", "runtime error: execution reached an unreachable program point", 1},
  };
  for (const Case& c : cases) {
    Output out = run_program(TAVIK_RUN_EXE, {target_program("debug_undefined"), c.arg});
    EXPECT_EQ(out.status, c.status) << c.arg << ": " << out.err;
    size_t at = out.err.find(c.message);
    ASSERT_NE(at, std::string::npos) << out.err;
    EXPECT_NE(out.err.rfind(line_of(c.marker), at), std::string::npos) << c.arg << ": " << out.err;
    EXPECT_NE(out.err.find(" in main (undefined.c:"), std::string::npos) << "the backtrace: " << out.err;
  }
  Output twice = run_program(TAVIK_RUN_EXE, {target_program("debug_undefined"), "twice"});
  EXPECT_EQ(twice.err.find("runtime error"), twice.err.rfind("runtime error")) << "once per site: " << twice.err;
}

}  // namespace
