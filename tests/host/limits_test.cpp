// Limits hold on the command line: a runaway guest is stopped, a spawning one stops at the process limit, a
// writing one at the file size limit, one writing into a closed pipe and one opening a lonely FIFO end cleanly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tavik::test;

Ended run_cli(const std::vector<std::string>& args, double bound = 20, Stdio io = {}) {
  return wait_cli(start_cli(args, io), bound);
}

// A root holding the hostile image as /hostile, which its spawning modes start.
struct Root {
  ScratchRoot dir;
  Root() { fs::copy_file(guest_image("hostile"), dir.path() / "hostile"); }
  std::string str() const { return dir.str(); }
  fs::path operator/(const std::string& name) const { return dir.path() / name; }
};

// Reads a pipe until every writer is gone, for at most `bound` seconds: true when it saw the end in time.
bool drains(int fd, double bound) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(bound);
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

TEST(Limits, InstructionAndTimeLimitsStopARunawayGuest) {
  ScratchRoot dir;
  std::string json = (dir.path() / "t.json").string();
  Ended run = run_cli({"--insn-limit", "100000", "--trace-json", json, guest_image("hostile"), "loop"});
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 137);
  EXPECT_EQ(without_frames(read_file(json)), "{\"killed\":\"insn_limit\"}\n");

  run = run_cli({"--timeout", "0.3", "--trace-json", json, guest_image("hostile"), "loop"});
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 137);
  EXPECT_EQ(without_frames(read_file(json)), "{\"killed\":\"timeout\"}\n");

  // With an instruction limit too far off to matter, the block hook that counts watches the clock instead of a
  // watchdog thread.
  run = run_cli({"--insn-limit", "1000000000000", "--timeout", "0.3", "--trace-json", json, guest_image("hostile"),
                 "loop"});
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 137);
  EXPECT_EQ(without_frames(read_file(json)), "{\"killed\":\"timeout\"}\n");
}

TEST(Limits, SpawnsStopAtTheProcessLimit) {
  Root root;
  // The children hold their stdin, a pipe only this test writes to, so all of them are alive at once; they share
  // tavik-run's stdout, which therefore ends only when every one of them has ended.
  int in[2], out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  std::string json = (root / "t.json").string();
  pid_t pid = start_cli({"--root", root.str(), "--timeout", "20", "--process-limit", "5", "--trace-json", json,
                         guest_image("hostile"), "wide"},
                        Stdio{in[0], out[1], -1});
  ::close(in[0]);
  ::close(out[1]);
  Ended run = wait_cli(pid, 30);
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 5);  // the number spawned
  std::string trace = read_file(json);
  size_t last = trace.rfind("\"name\":\"spawn\"");
  ASSERT_NE(last, std::string::npos) << trace;
  EXPECT_NE(trace.substr(last, trace.find('\n', last) - last).find("\"ret\":-11"), std::string::npos) << trace;
  ::close(in[1]);
  EXPECT_TRUE(drains(out[0], 10)) << "children outlived their input";
  ::close(out[0]);

  // A chain of spawns, each waiting for the next, stops at the limit too, the default one included: the top
  // guest's status counts the generations (limit + 1).
  run = run_cli({"--root", root.str(), "--timeout", "20", "--process-limit", "8", guest_image("hostile"), "deep"},
                30);
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 9);
  run = run_cli({"--root", root.str(), "--timeout", "20", guest_image("hostile"), "deep"}, 30);
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 65);
}

TEST(Limits, ChildrenSpawnedUnderATimeLimitAllStart) {
  // A guest that spawns at once forks while its time-limit watchdog is still starting up; the child must not
  // wait on what that thread held (it deadlocked about once in 30 chains when the host was busy). Many chains at
  // once keep the host busy.
  Root root;
  std::vector<pid_t> pids;
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 8; ++i)
      pids.push_back(start_cli({"--root", root.str(), "--timeout", "10", "--process-limit", "8",
                                guest_image("hostile"), "deep"}));
    for (pid_t pid : pids) {
      Ended run = wait_cli(pid, 20);
      EXPECT_FALSE(run.hung);
      EXPECT_EQ(run.status, 9) << "a generation of the chain never started";
    }
    pids.clear();
  }
}

TEST(Limits, FilesStopGrowingAtTheFileSizeLimit) {
  Root root;
  Ended run = run_cli({"--root", root.str(), "--file-size-limit", "100000", guest_image("hostile"), "fill", "/f"});
  EXPECT_EQ(run.status, 27);  // the write at the limit: -27
  EXPECT_EQ(fs::file_size(root / "f"), 100000u) << "every byte below the limit lands";

  // Whole-file writes beyond the limit leave the old file as it was, and no temporary file beside it.
  std::ofstream(root / "g") << "old";
  for (const char* mode : {"bigw", "bigs"}) {
    run = run_cli({"--root", root.str(), "--file-size-limit", "1048576", guest_image("hostile"), mode, "/g", "x"});
    EXPECT_EQ(run.status, std::string(mode) == "bigw" ? 100 : 101) << mode;
    EXPECT_EQ(read_file(root / "g"), "old") << mode;
  }
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(root.dir.path())) entries += entry.is_regular_file();
  EXPECT_EQ(entries, 3u) << "hostile, f and g only";
}

TEST(Limits, OutputToAClosedPipeEndsTheGuest) {
  // As in `tavik-run hostile yes | head -c1`.
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  pid_t pid = start_cli({"--timeout", "20", guest_image("hostile"), "yes"}, Stdio{-1, out[1], -1});
  ::close(out[1]);
  char byte = 0;
  EXPECT_EQ(::read(out[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'y');
  ::close(out[0]);
  Ended run = wait_cli(pid, 30);
  EXPECT_FALSE(run.hung);
  EXPECT_FALSE(run.signaled) << "tavik-run died of signal " << run.status - 128;
  EXPECT_EQ(run.status, 32);  // the guest got -32 and exits with it
}

TEST(Limits, AFifoWithoutAPeerCannotHoldTheRun) {
  Root root;
  ASSERT_EQ(::mkfifo((root / "ff").c_str(), 0666), 0);
  std::string image = guest_image("hostile");
  // Nobody at the other end: reading sees the end at once, with a time limit or without; writing cannot open (-6).
  EXPECT_EQ(run_cli({"--root", root.str(), image, "drain", "/ff"}, 10).status, 0);
  Ended run = run_cli({"--root", root.str(), "--timeout", "5", image, "drain", "/ff"}, 10);
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run_cli({"--root", root.str(), "--timeout", "1", image, "fill", "/ff"}, 10).status, 6);

  // A peer that holds the FIFO open and never writes: the read waits, and the time limit ends it.
  int peer = ::open((root / "ff").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(peer, 0);
  run = run_cli({"--root", root.str(), "--timeout", "0.5", image, "drain", "/ff"}, 10);
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 137);
  ::close(peer);

  // A writer that comes late: the read waits for it and takes what it sends.
  std::thread late([&] {
    int w = ::open((root / "ff").c_str(), O_RDWR | O_CLOEXEC);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(::write(w, "late", 4), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(w);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  run = run_cli({"--root", root.str(), "--timeout", "5", image, "drain", "/ff"}, 10);
  late.join();
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.status, 0);
}

}  // namespace
