// System calls, driven through the probe guest and checked on the trace: results as negative Linux error
// numbers, descriptors, files replaced whole, streamed writes, pipes, and spawned children.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/kit.hpp"

namespace {

namespace fs = std::filesystem;
using tavik::RunOptions;
using tavik::TraceEvent;
using namespace tavik::test;

void put_file(const ScratchRoot& root, const std::string& name, const std::string& text) {
  std::ofstream(root.path() / name, std::ios::binary) << text;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Syscalls, WriteAndReadMoveBytesAndCheckEverything) {
  ScratchRoot dir;
  put_file(dir, "in", "abcdef");
  RunOptions opt;
  opt.io.stdin_file = (dir.path() / "in").string();
  auto run = probe({"s:read:0:&0:4", "s:read:0:&0:100", "s:read:0:&0:10", "s:write:1:&0:2", "s:write:9:&0:1", "s:write:1:16:4",
                    "s:write:1:&0:0", "s:write:1:!5:0xffffffff", "s:read:0:^0:1", "s:read:7:&0:1"},
                   opt);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{4, 2, 0, 2, -TAVIK_EBADF, -TAVIK_EFAULT, 0, 5, -TAVIK_EFAULT,
      -TAVIK_EBADF}));
  auto reads = calls_of(run.result, TAVIK_NR_read);
  EXPECT_EQ(reads[0].data, "abcd");
  EXPECT_EQ(reads[1].data, "ef");
  EXPECT_EQ(run.out, std::string("ef") + std::string(5, '\0'));
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_write)[4].data, std::string(5, '\0')) << "a huge count stops at unmapped memory";
}

TEST(Syscalls, ReadNeverConsumesWhatItCannotStore) {
  ScratchRoot dir;
  put_file(dir, "in", "xy");
  RunOptions opt;
  opt.io.stdin_file = (dir.path() / "in").string();
  // Two bytes wanted, one byte of room before unmapped memory: one byte read, the other still there.
  auto run = probe({"s:read:0:!1:2", "s:read:0:&0:2"}, opt);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_read)[1].data, "y");
}

TEST(Syscalls, WriteLimitCapsEachWrite) {
  RunOptions opt;
  opt.limits.write_limit = 2;
  auto run = probe({"p:0:hello", "s:write:1:&0:5", "s:write:1:&2:3"}, opt);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{2, 2}));
  EXPECT_EQ(run.out, "hell");
}

TEST(Syscalls, OpenFlagsAndLowestFreeDescriptor) {
  ScratchRoot dir;
  put_file(dir, "in.txt", "hello");
  put_file(dir, "keep.txt", "0123456789");
  auto run = probe({"p:0:/in.txt", "p:100:out.txt", "p:200:nope", "p:300:keep.txt",
                    "s:open:&0:0:0",         // 3
                    "s:open:&100:0x241:0",   // 4: created
                    "s:write:4:&0:3",         // "/in"
                    "s:close:3:0:0",          // close 3
                    "s:open:&0:0:0",         // 3 again
                    "s:open:&200:0:0",       // -2
                    "s:open:&0:0x8:0",       // unknown flag: -22
                    "s:open:&300:0x1:0",     // 5: write only, no truncation
                    "s:write:5:&100:2",       // "ou" over "01"
                    "s:close:99:0:0",         // -9
                    "s:open:&100:0x200:0"},  // 6: truncated, read only
                   in_root(dir));
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{3, 4, 3, 0, 3, -TAVIK_ENOENT, -TAVIK_EINVAL, 5, 2,
      -TAVIK_EBADF, 6}));
  EXPECT_EQ(read_file(dir.path() / "out.txt"), "");
  EXPECT_EQ(read_file(dir.path() / "keep.txt"), "ou23456789");
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_open)[0].path, "/in.txt");
}

TEST(Syscalls, LseekWhenceAndErrors) {
  ScratchRoot dir;
  put_file(dir, "f", "0123456789");
  auto run = probe({"p:0:f", "s:open:&0:0:0", "s:lseek:3:4:0", "s:read:3:&100:2", "s:lseek:3:0:1", "s:lseek:3:-1:2",
                    "s:lseek:3:0:3", "s:lseek:8:0:0", "s:lseek:3:-20:1"},
                   in_root(dir));
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{3, 4, 2, 6, 9, -TAVIK_EINVAL, -TAVIK_EBADF, -TAVIK_EINVAL}));
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_read)[0].data, "45");
}

TEST(Syscalls, GetkeyGivesBytesThenMinusOne) {
  ScratchRoot dir;
  put_file(dir, "in", "a\xff");
  RunOptions opt;
  opt.io.stdin_file = (dir.path() / "in").string();
  auto run = probe({"s:getkey:0:0:0", "s:getkey:0:0:0", "s:getkey:0:0:0"}, opt);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{'a', 0xff, -1}));
}

TEST(Syscalls, WritefileReplacesTheWholeFileOrNothing) {
  ScratchRoot dir;
  put_file(dir, "f.txt", "old content");
  auto run = probe({"p:0:/f.txt", "p:100:new", "p:200:/missing/x", "p:300:/empty", "s:writefile:&0:&100:3",
                    "m:0x3fff0:16:65", "s:writefile:&0:!4:10", "s:writefile:&200:&100:3", "s:writefile:&300:&100:0", "s:writefile:16:&100:3",
                    "s:writefile:&0:16:3"},
                   in_root(dir));
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{0, -TAVIK_EFAULT, -TAVIK_ENOENT, 0, -TAVIK_EFAULT,
      -TAVIK_EFAULT}));
  EXPECT_EQ(read_file(dir.path() / "f.txt"), "new") << "a write that failed midway left the file alone";
  EXPECT_EQ(read_file(dir.path() / "empty"), "");
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"empty", "f.txt"})) << "no temporary file is left";
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_writefile)[0].data, "new");
}

TEST(Syscalls, FoldersAndTheWorkingDirectory) {
  ScratchRoot dir;
  put_file(dir, "file", "x");
  auto run = probe({"p:0:/d", "p:10:d", "p:20:rel", "p:30:/nope", "p:40:/file", "p:50:/d/sub",
                    "s:mkdir:&0:0:0",      // mkdir /d: 0
                    "s:mkdir:&0:0:0",      // again: -17
                    "s:chdir:&10:0:0",     // chdir d: 0
                    "s:getcwd:&100:100:0",  // getcwd: 2
                    "s:getcwd:&200:2:0",    // too small: -34
                    "s:getcwd:&200:3:0",    // exact fit: 2
                    "s:writefile:&20:&10:1",   // writefile rel: 0, lands in /d
                    "s:unlink:&20:0:0",     // unlink rel: 0
                    "s:unlink:&20:0:0",     // again: -2
                    "s:mkdir:&50:0:0",     // mkdir /d/sub: 0
                    "s:rmdir:&0:0:0",      // rmdir /d: not empty
                    "s:rmdir:&50:0:0",     // rmdir /d/sub: 0
                    "s:chdir:&30:0:0",     // chdir /nope: -2
                    "s:chdir:&40:0:0",     // chdir to a file: -20
                    "s:rmdir:&0:0:0",      // rmdir /d while it is the cwd: 0
                    "s:rmdir:&30:0:0",     // -2
                    "o:100:3", "o:200:3"},
                   in_root(dir));
  EXPECT_EQ(results_of(run.result),
            (std::vector<int32_t>{0, -TAVIK_EEXIST, 0, 2, -TAVIK_ERANGE, 2, 0, 0, -TAVIK_ENOENT, 0, -TAVIK_ENOTEMPTY, 0,
                -TAVIK_ENOENT, -TAVIK_ENOTDIR, 0, -TAVIK_ENOENT, 3, 3}));
  EXPECT_EQ(run.out, std::string("/d\0/d\0", 6));
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"file"}));
}

TEST(Syscalls, ATrailingSlashNamesAFolderAndLongHostPathsStayReachable) {
  ScratchRoot dir;
  // 24 folders deep, 201 bytes a level: the guest's root is the 10th, so that the guest's paths stay short
  // while the host's grow longer than the host can name in one piece.
  std::string level(200, 'x');
  int at = ::open(dir.str().c_str(), O_PATH | O_DIRECTORY);
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(::mkdirat(at, level.c_str(), 0700), 0);
    int next = ::openat(at, level.c_str(), O_PATH | O_DIRECTORY);
    ::close(at);
    at = next;
  }
  ::close(at);
  fs::path root = dir.path();
  for (int i = 0; i < 10; ++i) root /= level;
  std::ofstream(root / "file") << "x";
  fs::create_directory(root / "d");
  tavik::RunOptions opt;
  opt.io.root = root.string();
  std::vector<std::string> cmds{"p:0:/file/", "p:10:/d/", "p:20:/new/", "p:30:x", "p:40:" + level,
                                "s:writefile:&0:&30:1",            // -20
                                "s:unlink:&0:0:0",                 // -20
                                "s:mkfifo:&20:0:0",                // -20
                                "s:writefile:&10:&30:1",           // -21
                                "s:tavikfs_stream_begin:&10:0:0",  // -21
                                "s:mkdir:&20:0:0",                 // a folder may be named so: 0
                                "s:rmdir:&20:0:0"};                // 0
  for (int i = 0; i < 14; ++i) cmds.push_back("s:chdir:&40:0:0");  // each a level deeper: 0
  cmds.push_back("s:getcwd:&100:4000:0");
  auto run = probe(cmds, opt);
  std::vector<int32_t> want{-TAVIK_ENOTDIR, -TAVIK_ENOTDIR, -TAVIK_ENOTDIR, -TAVIK_EISDIR, -TAVIK_EISDIR, 0, 0};
  want.resize(want.size() + 14, 0);
  want.push_back(14 * 201);
  EXPECT_EQ(results_of(run.result), want);
  EXPECT_EQ(read_file(root / "file"), "x");
  // The scratch root's own removal goes by host paths: the deep folders go first, deepest first.
  std::error_code ignored;
  fs::remove(root / "file", ignored);
  fs::remove(root / "d", ignored);
  for (int depth = 23; depth >= 0; --depth) {
    int parent = ::open(dir.str().c_str(), O_PATH | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
      int next = ::openat(parent, level.c_str(), O_PATH | O_DIRECTORY);
      ::close(parent);
      parent = next;
    }
    EXPECT_EQ(::unlinkat(parent, level.c_str(), AT_REMOVEDIR), 0);
    ::close(parent);
  }
}

TEST(Syscalls, StreamedWriteAppearsOnlyWhenEnded) {
  ScratchRoot dir;
  auto run = probe({"p:0:/s.txt", "p:100:abc", "p:200:/left.txt",
                    "s:tavikfs_stream_begin:&0:0:0",     // 1
                    "s:tavikfs_stream_write:1:&100:3",   // 3
                    "s:tavikfs_stream_write:1:&100:2",   // 2
                    "s:open:&0:0:0",      // not there yet: -2
                    "s:tavikfs_stream_end:1:0:0",      // 0
                    "s:open:&0:0:0",      // 3
                    "s:tavikfs_stream_end:1:0:0",      // -9
                    "s:tavikfs_stream_write:7:&100:1",   // -9
                    "s:tavikfs_stream_begin:&200:0:0"},  // 1 again, never ended
                   in_root(dir));
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{1, 3, 2, -TAVIK_ENOENT, 0, 3, -TAVIK_EBADF, -TAVIK_EBADF,
      1}));
  EXPECT_EQ(read_file(dir.path() / "s.txt"), "abcab");
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"s.txt"})) << "an unended stream leaves nothing";
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_tavikfs_stream_write)[1].data, "ab");
}

TEST(Syscalls, PipesDuplicatesAndNonBlocking) {
  auto run = probe({"p:100:xyz",
                    "s:pipe:&0:0:0",    // pipe: 0 -> 3, 4
                    "s:write:4:&100:3",    // 3
                    "s:read:3:&200:10",   // 3 "xyz"
                    "s:dup:4:0:0",     // dup: 5
                    "s:dup2:4:9:0",     // dup2: 9
                    "s:write:9:&100:1",    // 1
                    "s:read:3:&200:10",   // "x"
                    "s:close:4:0:0", "s:close:5:0:0", "s:close:9:0:0",
                    "s:read:3:&200:10",   // end of data: 0
                    "s:pipe:&8:0:0",    // 0 -> 4, 5
                    "s:fd_set_nonblock:4:2:0",     // non-blocking: 0
                    "s:read:4:&200:1",    // -11
                    "s:dup2:3:-1:0",    // -9
                    "s:dup:77:0:0",    // -9
                    "s:pipe:^0:0:0",    // -14
                    "s:write:4:&100:1",    // a pipe's read end: -9 at once (it waited for room forever)
                    "s:read:5:&200:1",    // its write end: -9
                    "o:0:16"});
  EXPECT_EQ(results_of(run.result),
            (std::vector<int32_t>{0, 3, 3, 5, 9, 1, 1, 0, 0, 0, 0, 0, 0, -TAVIK_EAGAIN, -TAVIK_EBADF, -TAVIK_EBADF,
                -TAVIK_EFAULT, -TAVIK_EBADF, -TAVIK_EBADF, 16}));
  const int32_t ends[4] = {3, 4, 4, 5};
  EXPECT_EQ(run.out, std::string(reinterpret_cast<const char*>(ends), 16));
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_read)[0].data, "xyz");
}

TEST(Syscalls, FifosUnknownCallsAndBadPointers) {
  ScratchRoot dir;
  auto run = probe({"p:0:/ff", "m:0x3fff0:16:97",
                    "s:mkfifo:&0:0:0",    // 0
                    "s:mkfifo:&0:0:0",    // -17
                    "s:999:1:2:3",     // -38
                    "s:open:16:0:0",      // -14
                    "s:open:!16:0:0",     // no NUL before unmapped memory: -14
                    "s:getcwd:^0:100:0",   // read-only buffer: -14
                    "s:waitpid:1:!2:0"},   // -14 before anything else
                   in_root(dir));
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{0, -TAVIK_EEXIST, -TAVIK_ENOSYS, -TAVIK_EFAULT, -TAVIK_EFAULT,
      -TAVIK_EFAULT, -TAVIK_EFAULT}));
  struct stat st;
  ASSERT_EQ(::stat((dir.path() / "ff").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(calls_of(run.result, 999).at(0).name, "syscall_999");
}

TEST(Syscalls, UsleepSleepsForReal) {
  auto start = std::chrono::steady_clock::now();
  auto run = probe({"s:usleep:60000:0:0"});
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{0}));
}

class Spawn : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(root_.path() / "bin");
    fs::copy_file(tavik::test::guest_image("probe"), root_.path() / "bin/probe");
    fs::copy_file(tavik::test::guest_image("faults"), root_.path() / "bin/faults");
    put_file(root_, "bin/text", "not an image");
    opt_.io.root = root_.str();
  }
  // Commands that build argv for a child at scratch+0x1000: words at 0x1000, strings from 0x1100.
  static std::vector<std::string> child_argv(const std::vector<std::string>& args) {
    std::vector<std::string> cmds;
    unsigned at = 0x1100;
    for (size_t i = 0; i < args.size(); ++i) {
      cmds.push_back("p:" + std::to_string(at) + ":" + args[i]);
      cmds.push_back("w:" + std::to_string(0x1000 + 4 * i) + ":&" + std::to_string(at));
      at += static_cast<unsigned>(args[i].size()) + 1;
    }
    return cmds;
  }
  ScratchRoot root_;
  RunOptions opt_;
};

TEST_F(Spawn, ChildrenRunWithTheirArgumentsAndReportTheirStatus) {
  auto cmds = child_argv({"probe", "a", "q:5"});
  for (const char* c : {"p:0:/bin/probe", "s:spawn:&0:&4096:3", "s:waitpid:$0:&0x2000:0", "o:0x2000:4"}) cmds.push_back(c);
  auto run = probe(cmds, opt_);
  auto r = results_of(run.result);
  ASSERT_EQ(r.size(), 3u) << run.err;
  EXPECT_GT(r[0], 0);
  EXPECT_EQ(r[1], r[0]) << "waitpid answers the child's id";
  EXPECT_EQ(run.out, std::string("probe\na\nq:5\nend\n") + std::string("\x00\x05\x00\x00", 4));
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_spawn)[0].argv, (std::vector<std::string>{"probe", "a", "q:5"}))
      << "the trace shows the argument vector";
}

TEST_F(Spawn, AFaultingChildIsSeenAsItsSignal) {
  auto cmds = child_argv({"faults", "n"});
  for (const char* c : {"p:0:/bin/faults", "s:spawn:&0:&4096:2", "s:waitpid:-1:&0x2000:0", "o:0x2000:4"}) cmds.push_back(c);
  auto run = probe(cmds, opt_);
  EXPECT_EQ(run.out, std::string("\x0b\x00\x00\x00", 4)) << "SIGSEGV";
  EXPECT_NE(run.err.find("tavik: faults: page fault: write at 0x00000000"), std::string::npos) << run.err;
  EXPECT_EQ(run.result.end, tavik::RunResult::End::Exit);
}

TEST_F(Spawn, StandardDescriptorsAndInheritance) {
  auto cmds = child_argv({"probe", "a"});
  for (const char* c : {"p:0:/bin/probe", "p:16:/inh.txt",
                        "s:pipe:&0x3000:0:0",        // 3, 4
                        "s:fd_set_stdio:-1:4:-1",            // child's stdout is the pipe
                        "s:spawn:&0:&4096:2",
                        "s:close:4:0:0",
                        "s:waitpid:$2:0:0",
                        "s:read:3:&0x4000:100",        // what the child wrote
                        "s:fd_set_stdio:-1:-1:-1",
                        "s:open:&16:0x241:0",          // 4
                        "w:4096:&0x1200", "p:0x1200:probe", "w:4100:&0x1210", "p:0x1210:s:1:4:^0:4",
                        "s:fd_set_inherit:0:0:0",              // children get 0..2 only
                        "s:spawn:&0:&4096:2", "s:waitpid:$9:0:0",
                        "s:fd_set_inherit:5:0:0",              // all descriptors again
                        "s:spawn:&0:&4096:2", "s:waitpid:$12:0:0"}) {
    cmds.push_back(c);
  }
  auto run = probe(cmds, opt_);
  auto reads = calls_of(run.result, TAVIK_NR_read);
  ASSERT_FALSE(reads.empty()) << run.err;
  EXPECT_EQ(reads[0].data, "probe\na\nend\n");
  EXPECT_EQ(run.out, "") << "nothing reached the parent's stdout";
  EXPECT_EQ(read_file(root_.path() / "inh.txt"), "read") << "only the inheriting child could write to 4";
}

TEST_F(Spawn, RefusedImagesAndUnknownChildren) {
  auto run = probe({"p:0:/bin/none", "p:20:/bin/text", "p:40:/bin", "s:spawn:&0:0:0", "s:spawn:&20:0:0",
                    "s:spawn:&40:0:0", "s:spawn:&0:0:-1", "s:waitpid:12345:0:0", "s:waitpid:-1:0:0", "s:waitpid:1:0:2"},
                   opt_);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{-TAVIK_ENOENT, -TAVIK_ENOEXEC, -TAVIK_EACCES, -TAVIK_EINVAL,
      -TAVIK_ECHILD, -TAVIK_ECHILD, -TAVIK_EINVAL}));
}

}  // namespace
