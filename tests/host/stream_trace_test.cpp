// What the streams ask of the kernel, read off tavik-run's trace: one write per byte, string or block, puts in two
// writes, one read per fgetc or fread, output collected until fclose stores it whole with one writefile, and the
// file system left untouched by files never closed.
#include "support/guest.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using tavik::RunOptions;
using tavik::TraceEvent;
using namespace tavik::test;

constexpr uint32_t k_write = TAVIK_NR_write, k_exit = TAVIK_NR__exit, k_read = TAVIK_NR_read, k_open = TAVIK_NR_open, k_close = TAVIK_NR_close, k_writefile = TAVIK_NR_writefile, k_lseek = TAVIK_NR_lseek;

// The trace without the final _exit, which every run ends with.
std::vector<TraceEvent> calls_of(const GuestRun& run) {
  std::vector<TraceEvent> calls = run.result.trace;
  if (!calls.empty() && calls.back().nr == k_exit) calls.pop_back();
  return calls;
}

GuestRun run_scenario(const std::string& name, RunOptions opt = {}) {
  if (opt.io.root == ".") throw std::logic_error("each scenario needs a root of its own");
  return tavik::test::run_guest(tavik::test::target_program("stream_calls"), {name}, opt);
}

void expect_write(const TraceEvent& e, const std::string& data, int32_t ret) {
  EXPECT_EQ(e.nr, k_write);
  EXPECT_EQ(e.args[0], 1u) << "stream output goes to descriptor 1";
  EXPECT_EQ(e.args[2], data.size());
  EXPECT_EQ(e.data, data);
  EXPECT_EQ(e.ret, ret);
}

TEST(StreamTrace, EachByteStringAndBlockIsOneWriteToDescriptorOne) {
  ScratchRoot root;
  GuestRun run = run_scenario("bytes", in_root(root));
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.out, "xAhello\nabcwxyze\n");
  // fputc, putchar (0x141 as its low byte), puts as text then line feed, fputs, fwrite, stderr on descriptor 1,
  // nothing for the empty string, the lone line feed of puts(""); the refused writes to stdin and the
  // oversized fwrite make no call at all.
  std::vector<std::string> want = {"x", "A", "hello", "\n", "abc", "wxyz", "e", "\n"};
  std::vector<TraceEvent> calls = calls_of(run);
  ASSERT_EQ(calls.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    SCOPED_TRACE(i);
    expect_write(calls[i], want[i], static_cast<int32_t>(want[i].size()));
  }
}

TEST(StreamTrace, EachFgetcIsOneByteReadAndFreadOneRead) {
  ScratchRoot root;
  std::ofstream(root.path() / "stdin.txt") << "QRSTUVWXYZ";
  RunOptions opt = in_root(root);
  opt.io.stdin_file = (root.path() / "stdin.txt").string();
  GuestRun run = run_scenario("reads", opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  std::vector<TraceEvent> calls = calls_of(run);
  // getchar, fgetc, fread of 4 x 3 bytes with 8 left, getchar at the end; the guarded freads make no call.
  ASSERT_EQ(calls.size(), 4u);
  struct Want {
    uint32_t count;
    int32_t ret;
    std::string data;
  };
  const Want want[] = {{1, 1, "Q"}, {1, 1, "R"}, {12, 8, "STUVWXYZ"}, {1, 0, ""}};
  for (size_t i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].nr, k_read);
    EXPECT_EQ(calls[i].args[0], 0u);
    EXPECT_EQ(calls[i].args[2], want[i].count);
    EXPECT_EQ(calls[i].ret, want[i].ret);
    EXPECT_EQ(calls[i].data, want[i].data);
  }
}

TEST(StreamTrace, FileReadThroughItsDescriptorAndClosed) {
  ScratchRoot root;
  std::ofstream(root.path() / "in.txt") << "abcdefgh";
  GuestRun run = run_scenario("file", in_root(root));
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 0);
  std::vector<TraceEvent> calls = calls_of(run);
  // open, fgetc, fread, fseek, rewind, fclose; ftell and the standard streams' seeks make no call; the
  // missing file's open fails and nothing follows it.
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0].nr, k_open);
  ASSERT_TRUE(calls[0].path.has_value());
  EXPECT_EQ(*calls[0].path, "/in.txt");
  EXPECT_EQ(calls[0].args[1], 0u) << "read only";
  EXPECT_EQ(calls[0].args[2], 0u);
  int32_t fd = calls[0].ret;
  ASSERT_GT(fd, 2);
  const uint32_t ufd = static_cast<uint32_t>(fd);

  EXPECT_EQ(calls[1].nr, k_read);
  EXPECT_EQ(calls[1].args[0], ufd);
  EXPECT_EQ(calls[1].args[2], 1u);
  EXPECT_EQ(calls[1].data, "a");
  EXPECT_EQ(calls[2].nr, k_read);
  EXPECT_EQ(calls[2].args[0], ufd);
  EXPECT_EQ(calls[2].args[2], 4u);
  EXPECT_EQ(calls[2].data, "bcde");

  EXPECT_EQ(calls[3].nr, k_lseek);
  EXPECT_EQ(calls[3].args, (std::array<uint32_t, 3>{ufd, 3, 0}));
  EXPECT_EQ(calls[4].nr, k_lseek);
  EXPECT_EQ(calls[4].args, (std::array<uint32_t, 3>{ufd, 0, 0}));

  EXPECT_EQ(calls[5].nr, k_close);
  EXPECT_EQ(calls[5].args[0], ufd);
  EXPECT_EQ(calls[6].nr, k_open);
  EXPECT_LT(calls[6].ret, 0);
}

TEST(StreamTrace, WriteOnCloseStoresWholeAtFcloseAndNeverBefore) {
  ScratchRoot root;
  GuestRun run = run_scenario("write_on_close", in_root(root));
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 0) << "every fclose succeeded";
  // Nothing is opened or created: one writefile per fclose, none for the file left open, none for the memory
  // stream.
  std::vector<TraceEvent> calls = calls_of(run);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].nr, k_writefile);
  ASSERT_TRUE(calls[0].path.has_value());
  EXPECT_EQ(*calls[0].path, "/out.txt");
  EXPECT_EQ(calls[0].args[2], 2u);
  EXPECT_EQ(calls[0].data, "hi");
  EXPECT_EQ(calls[1].nr, k_writefile);
  ASSERT_TRUE(calls[1].path.has_value());
  EXPECT_EQ(*calls[1].path, "/empty.txt");
  EXPECT_NE(calls[1].args[1], 0u) << "an empty content is passed as an empty string, not a null pointer";
  EXPECT_EQ(calls[1].args[2], 0u);

  EXPECT_EQ(tavik::test::read_file(root.path() / "out.txt"), "hi");
  ASSERT_TRUE(std::filesystem::exists(root.path() / "empty.txt"));
  EXPECT_EQ(std::filesystem::file_size(root.path() / "empty.txt"), 0u);
  EXPECT_FALSE(std::filesystem::exists(root.path() / "kept.txt")) << "a file never closed is never stored";
  size_t entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(root.path())) {
    (void)entry;
    entries++;
  }
  EXPECT_EQ(entries, 2u);
}

TEST(StreamTrace, ShortWritesAreContinuedAndAFailedOneEndsTheOutput) {
  ScratchRoot root;
  RunOptions opt = in_root(root);
  opt.limits.write_limit = 3;
  GuestRun run = run_scenario("long_fputs", opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 10);
  EXPECT_EQ(run.out, "0123456789");
  std::vector<TraceEvent> calls = calls_of(run);
  ASSERT_EQ(calls.size(), 4u);
  const uint32_t asked[] = {10, 7, 4, 1};
  for (size_t i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].nr, k_write);
    EXPECT_EQ(calls[i].args[2], asked[i]);
    EXPECT_EQ(calls[i].args[1], calls[0].args[1] + 3 * i) << "each call starts after the bytes taken";
  }

  for (int32_t refusal : {0, -5}) {
    SCOPED_TRACE(refusal);
    ScratchRoot again;
    opt = in_root(again);
    opt.limits.write_limit = 3;
    opt.injects = {{"write", 2, refusal}};
    run = run_scenario("long_fputs", opt);
    EXPECT_EQ(run.result.status, -1);
    EXPECT_EQ(run.out, "012") << "bytes already written stay written";
    EXPECT_EQ(calls_of(run).size(), 2u) << "nothing is tried after a refused write";
  }
}

TEST(StreamTrace, PutsStopsAfterAFailedTextWrite) {
  ScratchRoot a, b;
  RunOptions opt = in_root(a);
  opt.injects = {{"write", 1, -5}};
  GuestRun run = run_scenario("puts", opt);
  EXPECT_EQ(run.result.status, -1);
  EXPECT_EQ(calls_of(run).size(), 1u) << "no line feed after a failed text";

  opt = in_root(b);
  opt.injects = {{"write", 2, -5}};
  run = run_scenario("puts", opt);
  EXPECT_EQ(run.result.status, -1);
  EXPECT_EQ(run.out, "hello");
  EXPECT_EQ(calls_of(run).size(), 2u);
}

TEST(StreamTrace, EachWriteAsksAtMost0x7FFFFFFFBytes) {
  ScratchRoot root;
  RunOptions opt = in_root(root);
  opt.injects = {{"write", 1, 0x7FFFFFFF}, {"write", 2, 2}};
  GuestRun run = run_scenario("capped_fwrite", opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 0) << "fwrite returned the whole count";
  std::vector<TraceEvent> calls = calls_of(run);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args[2], 0x7FFFFFFFu);
  EXPECT_EQ(calls[1].args[2], 2u);
  EXPECT_EQ(calls[1].args[1], calls[0].args[1] + 0x7FFFFFFFu);
}

TEST(StreamTrace, AWriteCountBeyondTheRequestIsAFailure) {
  ScratchRoot root;
  RunOptions opt = in_root(root);
  opt.injects = {{"write", 1, 5}};
  GuestRun run = run_scenario("putchar", opt);
  EXPECT_EQ(run.result.status, -1);
  EXPECT_EQ(calls_of(run).size(), 1u);
}

TEST(StreamTrace, AReadCountBeyondOneByteIsNoByte) {
  ScratchRoot root;
  RunOptions opt = in_root(root);
  opt.injects = {{"read", 1, 2}};
  GuestRun run = run_scenario("fgetc_overcount", opt);
  EXPECT_EQ(run.result.status, 7) << "fgetc gave -1, left eof at 0 and added 2 to pos";
  std::vector<TraceEvent> calls = calls_of(run);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args[2], 1u);
}

TEST(StreamTrace, FopenWithoutMemoryClosesTheDescriptorItOpened) {
  ScratchRoot root;
  GuestRun run = tavik::test::run_guest(tavik::test::target_test("stream_nomem_test"), {}, in_root(root));
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 0) << run.out;
  const std::vector<TraceEvent>& trace = run.result.trace;
  size_t opens = 0;
  for (size_t i = 0; i < trace.size(); i++) {
    if (trace[i].nr != k_open || !trace[i].path || *trace[i].path != "/nomem_in.txt") continue;
    opens++;
    ASSERT_GE(trace[i].ret, 0);
    ASSERT_LT(i + 1, trace.size());
    EXPECT_EQ(trace[i + 1].nr, k_close);
    EXPECT_EQ(trace[i + 1].args[0], static_cast<uint32_t>(trace[i].ret));
  }
  EXPECT_EQ(opens, 1u);
}

}  // namespace
