// Nothing lost: tavik-run killed outright at many points of a large whole-file write leaves the file with its old
// or its new content, never a mixture or a truncation; and a guest that ends with a write-on-close file still
// open leaves the file system as it was.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kBig = 64u << 20;

// Starts tavik-run on the hostile guest writing 64 MiB of `byte` to /big in the way `mode` names.
pid_t start_big_write(const std::string& root, const char* mode, char byte) {
  std::string image = tavik::test::guest_image("hostile");
  std::string fill(1, byte);
  return tavik::test::start_cli({"--root", root, image, mode, "/big", fill});
}

// The byte the whole file holds, or 0 when it is not 64 MiB of one byte.
char uniform_byte(const fs::path& p) {
  std::string text = tavik::test::read_file(p);
  if (text.size() != kBig) return 0;
  if (text.find_first_not_of(text[0]) != std::string::npos) return 0;
  return text[0];
}

// Waits until the writer's temporary file shows beside /big: the moment the host side of the write begins.
bool wait_for_temp(const fs::path& root, pid_t pid) {
  for (;;) {
    for (const auto& e : fs::directory_iterator(root))
      if (e.path().filename() != "big") return true;
    int st;
    if (::waitpid(pid, &st, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// A killed writer leaves its hidden temporary file; it is never the file itself, and the next round needs a
// clean folder to see its own.
void remove_temps(const fs::path& root) {
  for (const auto& e : fs::directory_iterator(root))
    if (e.path().filename() != "big") fs::remove(e.path());
}

void kill_during_big_writes(const char* mode) {
  tavik::test::ScratchRoot root;
  fs::path big = root.path() / "big";
  std::ofstream(big, std::ios::binary) << std::string(kBig, 'A');

  // One undisturbed run tells how long the host side of the write takes here; the kills are spread over it.
  pid_t pid = start_big_write(root.str(), mode, 'B');
  ASSERT_TRUE(wait_for_temp(root.path(), pid));
  auto t0 = Clock::now();
  int st = 0;
  ::waitpid(pid, &st, 0);
  auto full = Clock::now() - t0;
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  ASSERT_EQ(uniform_byte(big), 'B');

  char old_byte = 'B';
  constexpr int kPoints = 6;
  int saw_old = 0;
  for (int i = 0; i < kPoints; ++i) {
    char new_byte = old_byte == 'B' ? 'C' : 'B';
    pid = start_big_write(root.str(), mode, new_byte);
    if (wait_for_temp(root.path(), pid)) {
      std::this_thread::sleep_for(full * (i + 0.5) / kPoints);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &st, 0);
    }
    char now = uniform_byte(big);
    ASSERT_TRUE(now == old_byte || now == new_byte) << mode << " killed at point " << i << ": mixed or truncated";
    if (now == old_byte) ++saw_old;
    old_byte = now;
    remove_temps(root.path());
  }
  EXPECT_GT(saw_old, 0) << "no kill landed before the commit";
}

TEST(Atomic, WritefileKilledAtAnyPointKeepsOldOrNew) { kill_during_big_writes("bigw"); }

TEST(Atomic, StreamKilledAtAnyPointKeepsOldOrNew) { kill_during_big_writes("bigs"); }

TEST(Atomic, UnclosedWriteOnCloseFileTouchesNothing) {
  for (const char* how : {"exit", "return", "abort", "fault"}) {
    tavik::test::ScratchRoot root;
    std::ofstream(root.path() / "kept") << "old";
    tavik::RunOptions opt = tavik::test::in_root(root);
    for (const char* path : {"/kept", "/fresh"}) {
      auto run = tavik::test::run_guest(tavik::test::target_program("unclosed_write"), {path, how}, opt);
      if (std::string(how) == "fault") EXPECT_EQ(run.result.end, tavik::RunResult::End::Fault) << run.err;
      else EXPECT_EQ(run.result.end, tavik::RunResult::End::Exit) << how << run.err;
      EXPECT_TRUE(tavik::test::calls_of(run.result, TAVIK_NR_writefile).empty()) << how;
      EXPECT_TRUE(tavik::test::calls_of(run.result, TAVIK_NR_tavikfs_stream_begin).empty()) << how;
    }
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root.path())) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"kept"})) << how;
    EXPECT_EQ(tavik::test::read_file(root.path() / "kept"), "old") << how;
  }
}

}  // namespace
