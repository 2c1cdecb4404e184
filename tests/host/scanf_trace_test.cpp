// fscanf's read pattern on tavik-run's trace: every byte is one read of one byte from the stream's descriptor,
// over stdin and over a file of the root, until the read that finds the end; nothing is read ahead or pushed back.
#include "support/guest.hpp"

#include <gtest/gtest.h>

namespace {

using tavik::TraceEvent;
using namespace tavik::test;

constexpr uint32_t k_read = TAVIK_NR_read, k_open = TAVIK_NR_open;

// Words, separators of every kind, a NUL inside a word, a word longer than 255 bytes, and a last word that the
// end of the input ends.
std::string input_text() {
  std::string text = " \t12 word\r\nx";
  text += '\0';
  text += "y\n\n";
  text += std::string(300, 'L');
  text += "\rlast";
  return text;
}

std::string expected_output(size_t size) {
  return "[12]\n[word]\n[x]\n[" + std::string(255, 'L') + "]\n[last]\npos " + std::to_string(size) + " eof 1\n";
}

// Every read asks for one byte on fd and each delivers the next byte of text; then two reads deliver nothing: the
// one that ends the last word and the one that makes the next call give -1.
void expect_byte_reads(const std::vector<TraceEvent>& trace, int32_t fd, const std::string& text) {
  std::vector<const TraceEvent*> reads;
  for (const TraceEvent& e : trace)
    if (e.nr == k_read) reads.push_back(&e);
  ASSERT_EQ(reads.size(), text.size() + 2);
  for (size_t i = 0; i < reads.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(reads[i]->args[0], static_cast<uint32_t>(fd));
    EXPECT_EQ(reads[i]->args[2], 1u);
    bool last = i >= text.size();
    EXPECT_EQ(reads[i]->ret, last ? 0 : 1);
    EXPECT_EQ(reads[i]->data, last ? std::string() : text.substr(i, 1));
  }
}

TEST(ScanfTrace, WordsFromStdinAreReadOneByteAtATime) {
  ScratchRoot root;
  std::string text = input_text();
  std::string path = (root.path() / "stdin.bin").string();
  std::ofstream(path, std::ios::binary) << text;
  tavik::RunOptions opt = tavik::test::in_root(root);
  opt.io.stdin_file = path;
  GuestRun run = tavik::test::run_guest(tavik::test::target_program("scanf_trace_guest"), {}, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(run.out, expected_output(text.size()));
  expect_byte_reads(run.result.trace, 0, text);
}

TEST(ScanfTrace, WordsFromAFileAreReadOneByteAtATime) {
  ScratchRoot root;
  std::string text = input_text();
  std::ofstream(root.path() / "words.bin", std::ios::binary) << text;
  tavik::RunOptions opt = tavik::test::in_root(root);
  GuestRun run = tavik::test::run_guest(tavik::test::target_program("scanf_trace_guest"), {"/words.bin"}, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(run.out, expected_output(text.size()));
  int32_t fd = -1;
  for (const TraceEvent& e : run.result.trace)
    if (e.nr == k_open) fd = e.ret;
  ASSERT_GT(fd, 2);
  expect_byte_reads(run.result.trace, fd, text);
}

// A read that reports more than the one byte asked for counts into pos but gives no byte, which ends the word; a
// failed read before any byte makes -1 with eof set. The injected calls are not performed, so nothing is lost.
TEST(ScanfTrace, OddReadResultsEndTheWordOrTheInput) {
  ScratchRoot root;
  std::string path = (root.path() / "stdin.txt").string();
  std::ofstream(path) << "ab cd";
  tavik::RunOptions opt = tavik::test::in_root(root);
  opt.io.stdin_file = path;
  opt.injects = {{"read", 2, 3}};
  GuestRun run = tavik::test::run_guest(tavik::test::target_program("scanf_trace_guest"), {}, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.out, "[a]\n[b]\n[cd]\npos 8 eof 1\n");

  opt.injects = {{"read", 1, -5}};
  run = tavik::test::run_guest(tavik::test::target_program("scanf_trace_guest"), {}, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.out, "pos 0 eof 1\n");
  size_t reads = 0;
  for (const TraceEvent& e : run.result.trace) reads += e.nr == k_read;
  EXPECT_EQ(reads, 1u);
}

}  // namespace
