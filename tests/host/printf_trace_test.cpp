// The stream formatter's write pieces, its failure midway and the 0xFF sequence, as the trace of tavik-run shows
// them: printf to stdout makes one write system call per piece.
#include "support/guest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
  int32_t status = 0;
  std::vector<std::string> writes;  // the bytes of each write to descriptor 1, in order
  std::vector<int32_t> results;     // what each of those writes returned
  size_t other_calls = 0;           // system calls other than writes and the final exit
};

// Runs one case of the guest; the trace is what is looked at, and the bytes that reached descriptor 1 must be
// exactly those of the writes that succeeded.
Outcome run_case(const std::string& name, std::vector<tavik::Injection> injects = {}) {
  tavik::test::ScratchRoot root;
  tavik::RunOptions opt = tavik::test::in_root(root);
  opt.injects = std::move(injects);
  tavik::test::GuestRun run = tavik::test::run_guest(tavik::test::target_program("printf_pieces"), {name}, opt);
  const tavik::RunResult& r = run.result;
  EXPECT_EQ(r.end, tavik::RunResult::End::Exit) << name << ": " << r.error << tavik::fault_name(r.fault.kind) << run.err;
  Outcome out;
  out.status = r.status;
  std::string delivered;
  for (const tavik::TraceEvent& e : r.trace) {
    if (e.name == "write" && e.args[0] == 1 && e.ret > 0) delivered += e.data.substr(0, e.ret);
  }
  EXPECT_EQ(run.out, delivered) << name;
  for (const tavik::TraceEvent& e : r.trace) {
    if (e.name == "write" && e.args[0] == 1) {
      out.writes.push_back(e.data);
      out.results.push_back(e.ret);
    } else if (e.name != "exit" && e.name != "_exit") {
      out.other_calls++;
    }
  }
  return out;
}

using Pieces = std::vector<std::string>;

TEST(PrintfTrace, OneWritePerLiteralPaddingSignPrefixAndZero) {
  struct Case {
    const char* name;
    Pieces pieces;
    int32_t result;
  };
  const std::vector<Case> cases = {
      {"hi", {"h", "i", " ", "42", "!"}, 6},
      {"width", {" ", " ", " ", "42", "|"}, 6},
      {"negative", {" ", " ", " ", " ", "-", "0", "0", "7"}, 8},
      {"pointer", {" ", " ", "0", "x", "0", "0", "0", "0", "1234"}, 12},
      {"long", {"1122334455667788"}, 16},
      {"string", {" ", " ", " ", "ab", "|"}, 6},
      {"unrecognised", {"%", "X", "%", "-", "5", "d"}, 6},
      {"hello", {"h", "e", "l", "l", "o", "\n"}, 6},
      {"late_c", {"A", "B"}, 2},
  };
  for (const Case& c : cases) {
    Outcome out = run_case(c.name);
    EXPECT_EQ(out.writes, c.pieces) << c.name;
    EXPECT_EQ(out.status, c.result) << c.name;
    EXPECT_EQ(out.other_calls, 0u) << c.name;
  }
}

// An empty string still goes out as its one write, of no bytes; whether a write of 0 bytes reaches the kernel is
// the stream layer's business, so only the absence of any byte and the result are fixed.
TEST(PrintfTrace, EmptyStringWritesNothing) {
  Outcome out = run_case("empty_string");
  EXPECT_EQ(out.status, 0);
  for (const std::string& w : out.writes) EXPECT_TRUE(w.empty());
}

TEST(PrintfTrace, FailedWriteEndsWithMinusOneAndKeepsWhatWasWritten) {
  Outcome out = run_case("failure", {{"write", 3, -TAVIK_EIO}});
  EXPECT_EQ(out.status, -1);
  ASSERT_EQ(out.writes.size(), 3u);
  EXPECT_EQ(out.writes[0], "a");
  EXPECT_EQ(out.writes[1], "b");
  EXPECT_EQ(out.results, (std::vector<int32_t>{1, 1, -TAVIK_EIO}));

  Outcome second = run_case("failure", {{"write", 1, -TAVIK_EIO}});
  EXPECT_EQ(second.status, -1);
  EXPECT_EQ(second.writes.size(), 1u);
}

TEST(PrintfTrace, MarkerSequenceAtTheStartOnDescriptorOne) {
  Outcome marker = run_case("marker");
  EXPECT_EQ(marker.writes, (Pieces{std::string("\xff\x01\x02\x03", 4)}));
  EXPECT_EQ(marker.status, 0);

  Outcome then_text = run_case("marker_then_text");
  EXPECT_EQ(then_text.writes, (Pieces{std::string("\xff\x01\x02\x03", 4), "X", "9"}));
  EXPECT_EQ(then_text.status, 2);

  // stderr writes to descriptor 1 as well; only the low byte of each argument is sent.
  Outcome on_stderr = run_case("marker_on_stderr");
  EXPECT_EQ(on_stderr.writes, (Pieces{std::string("\xff\x07\x08\x09", 4)}));
  EXPECT_EQ(on_stderr.status, 0);

  Outcome fails = run_case("marker_fails", {{"write", 1, -TAVIK_EIO}});
  EXPECT_EQ(fails.status, -1);
  EXPECT_EQ(fails.writes.size(), 1u);
}

TEST(PrintfTrace, NoMarkerOnAMemoryStream) {
  Outcome out = run_case("memory_stream");
  EXPECT_EQ(out.writes, (Pieces{"A5"}));
  EXPECT_EQ(out.status, 2);
}

}  // namespace
