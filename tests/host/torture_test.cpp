// Hostile guests: every system call tavik-run knows, and some it does not, made with wild pointers, huge counts
// and bad descriptors, by a tavik-run of its own; it must return errors, stay within its memory, and touch
// nothing outside the guest's root.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

namespace fs = std::filesystem;
using tavik::RunOptions;
using namespace tavik::test;

// Runs the tavik-run command with args in the host folder cwd, its descriptors 0..2 on /dev/null, and waits for
// it at most `bound` seconds.
Ended run_cli(const std::vector<std::string>& args, const fs::path& cwd, double bound) {
  return tavik::test::wait_cli(tavik::test::start_cli(args, {}, cwd.string()), bound);
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

// A root of the guest's own holding the hostile image as /hostile (spawn needs it), beside a host folder to run
// in and the guest's input; nothing else may show up beside them.
struct Arena {
  ScratchRoot top;
  fs::path root = top.path() / "root", cwd = top.path() / "cwd", input = top.path() / "in";
  Arena() {
    fs::create_directory(root);
    fs::create_directory(cwd);
    fs::copy_file(guest_image("hostile"), root / "hostile");
    std::ofstream in(input, std::ios::binary);
    for (int i = 0; i < 20000; ++i) in << "tavik";  // more than one 64 KiB piece, and no NUL
  }
  // The memory of a run that does nothing much: the base the torture's own use is measured against.
  long plain_rss_kib() const {
    return run_cli({"--root", root.string(), guest_image("hostile"), "hold"}, cwd, 30).max_rss_kib;
  }
};

TEST(Torture, FindsEveryCallTavikRunKnows) {
  // The torture asks tavik-run which numbers it knows rather than keeping a list: the numbers it finds must be
  // exactly those the trace gives a name.
  ScratchRoot root;
  tavik::RunOptions opt = tavik::test::in_root(root);
  auto run = tavik::test::run_guest(guest_image("hostile"), {"calls"}, opt);
  ASSERT_EQ(run.result.host_exit_code(), 0) << run.err;
  std::set<uint32_t> named;
  for (const tavik::TraceEvent& e : run.result.trace)
    if (e.name.rfind("syscall_", 0) != 0) named.insert(e.nr);
  std::set<uint32_t> found;
  std::istringstream words(run.out);
  for (uint32_t nr; words >> nr;) found.insert(nr);
  EXPECT_EQ(found, named) << run.out;
}

TEST(Torture, WildArgumentsToEveryCallReturnErrors) {
  Arena a;
  long plain = a.plain_rss_kib();
  ASSERT_GT(plain, 0);
  // Named files may grow to 1 MiB only, so that the huge counts cost no disk time; writes to /dev/null still
  // take every byte asked for.
  Ended run = run_cli({"--root", a.root.string(), "--timeout", "60", "--file-size-limit", "1048576", "--stdin",
                       a.input.string(), guest_image("hostile"), "torture"},
                      a.cwd, 120);
  EXPECT_FALSE(run.hung);
  // 0: every call returned and no read-only byte changed; 10..42: a call that writes guest memory accepted a
  // bad buffer (see bad_buffers in the guest); 50: a read-only page changed; 137: the time limit was reached.
  EXPECT_EQ(run.status, 0);
  // A read of 0x7fffffff bytes must not take 2 GiB: the counts are far above what the run may use. The calls
  // do read and write the guest's own 64 MiB array whole, which the plain run never touches: that much, and
  // 16 MiB of tavik-run's own, is the bound.
  EXPECT_LT(run.max_rss_kib, plain + (64 + 16) * 1024) << "plain run: " << plain << " KiB";

  EXPECT_EQ(names_in(a.top.path()), (std::set<std::string>{"root", "cwd", "in"}));
  EXPECT_TRUE(fs::is_empty(a.cwd));
  // The only regular files are the image and the one the read-only text names, within the size limit: no
  // stream left uncommitted leaves its temporary file behind.
  for (const auto& entry : fs::recursive_directory_iterator(a.root)) {
    if (!entry.is_regular_file()) continue;
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "hostile" || name == "read-only") << entry.path();
    EXPECT_LE(entry.file_size(), 1u << 20) << entry.path();
  }
}

TEST(Torture, SpawningAFileThatIsNoImageReadsNoMoreThanItsStart) {
  Arena a;
  long plain = a.plain_rss_kib();
  // A sparse 300 MiB file: no disk, but a loader that read it whole would take 300 MiB.
  { std::ofstream(a.root / "junk") << "junk"; }
  fs::resize_file(a.root / "junk", 300u << 20);
  Ended run = run_cli({"--root", a.root.string(), "--timeout", "30", guest_image("hostile"), "spawn", "/junk"},
                      a.cwd, 60);
  EXPECT_EQ(run.status, 8);  // -8: not a runnable image
  EXPECT_LT(run.max_rss_kib, plain + 64 * 1024) << "plain run: " << plain << " KiB";
}

}  // namespace
