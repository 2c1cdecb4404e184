// The escape battery: every call that takes a path, tried with ".." chains, planted absolute and relative links,
// links to /proc/self/root, a NUL inside the guest's string, names past the host's PATH_MAX and names with
// newlines. Each is refused or stays inside the root, and nothing appears outside it.
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <unistd.h>

#include "support/kit.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tavik::test;

// The calls that take a path, with the registers that make each one create something where it can.
struct PathCall {
  uint32_t nr;
  const char* rest;  // ecx:edx after the path
};
const PathCall kPathCalls[] = {
    {TAVIK_NR_open, "0x241:0"},    // open, create + truncate
    {TAVIK_NR_writefile, "&3000:3"},   // writefile
    {TAVIK_NR_mkdir, "0:0"},       // mkdir
    {TAVIK_NR_mkfifo, "0:0"},      // mkfifo
    {TAVIK_NR_tavikfs_stream_begin, "0:0"},       // tavikfs_stream_begin
    {TAVIK_NR_unlink, "0:0"},       // unlink
    {TAVIK_NR_rmdir, "0:0"},       // rmdir
    {TAVIK_NR_chdir, "0:0"},       // chdir
    {TAVIK_NR_spawn, "0:0"},      // spawn
};

class Escape : public tavik::test::RootWithOutside {
 protected:
  void SetUp() override {
    RootWithOutside::SetUp();
    fs::create_directories(root_ / "a/b/c");
    fs::create_symlink("/proc/self/root", root_ / "proc_abs");
    fs::create_symlink("../../../../../../../../proc/self/root", root_ / "a/b/proc_rel");
    fs::create_symlink(outside_, root_ / "out_abs");
    fs::create_symlink("../../../../outside", root_ / "a/b/c/out_rel");
  }
  std::set<std::string> names_in(const fs::path& dir) const {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) out.insert(e.path().lexically_relative(dir).string());
    return out;
  }
  // Every path call on the path at scratch+0, after a chdir to /a/b/c so that relative climbs start deep.
  std::vector<std::string> every_call(const std::string& path) const {
    std::vector<std::string> cmds{"p:0:" + path, "p:2000:/a/b/c", "p:3000:new", "s:chdir:&2000:0:0"};
    for (const PathCall& pc : kPathCalls) cmds.push_back("s:" + std::to_string(pc.nr) + ":&0:" + pc.rest);
    return cmds;
  }
};

TEST_F(Escape, NoPathCallReachesOutsideTheRoot) {
  std::string host_name = "tavik-escape-" + std::to_string(::getpid());
  std::string outside_rel = fs::relative(outside_, "/").string();
  const std::string paths[] = {
      "../../../../../../../../../../" + outside_rel + "/made",
      "/../../../../" + outside_rel + "/made",
      "/a/../../a/b/../../../" + outside_rel + "/made",
      "/out_abs/made",
      "out_rel/made",
      "/out_abs/secret",
      "/proc_abs/tmp/" + host_name,
      "/a/b/proc_rel/tmp/" + host_name,
      "/proc/self/root/tmp/" + host_name,
      "/proc_abs" + outside_.string() + "/made",
  };
  for (const std::string& path : paths) {
    auto run = probe(every_call(path), opt_);
    EXPECT_EQ(run.result.end, tavik::RunResult::End::Exit) << path << "\n" << run.err;
    auto r = results_of(run.result);
    ASSERT_EQ(r.size(), 1 + std::size(kPathCalls)) << path;
    EXPECT_EQ(r[0], 0) << "chdir /a/b/c";
    for (size_t i = 1; i < r.size(); ++i) EXPECT_LT(r[i], 0) << path << ": call " << kPathCalls[i - 1].nr;
    EXPECT_EQ(names_in(outside_), (std::set<std::string>{"secret"})) << path;
    EXPECT_EQ(read_file(outside_ / "secret"), "secret") << path;
    EXPECT_FALSE(fs::exists(fs::path("/tmp") / host_name)) << path;
  }
  EXPECT_FALSE(fs::exists(base_.path() / "made"));
}

TEST_F(Escape, TheGuestStringEndsAtItsFirstNul) {
  // The bytes after the NUL name a place outside; only the prefix is used.
  auto run = probe({"p:0:made\\0/../../outside/x", "s:open:&0:0x241:0", "s:writefile:&0:&0:4", "p:100:dir\\0/../../x",
                    "s:mkdir:&100:0:0"},
                   opt_);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{3, 0, 0}));
  ASSERT_EQ(calls_of(run.result, TAVIK_NR_open).size(), 1u);
  EXPECT_EQ(calls_of(run.result, TAVIK_NR_open)[0].path, "made");
  EXPECT_EQ(read_file(root_ / "made"), "made");
  EXPECT_TRUE(fs::is_directory(root_ / "dir"));
  EXPECT_EQ(names_in(outside_), (std::set<std::string>{"secret"}));
  EXPECT_FALSE(fs::exists(base_.path() / "x"));
}

TEST_F(Escape, PathsPastTheHostLimitAreTooLong) {
  // 5000 bytes of "a", and a short string whose single name is past what any host folder holds.
  std::vector<std::string> cmds{"m:0:5000:97", "p:6000:/a/", "m:6003:300:120"};
  for (const PathCall& pc : kPathCalls) cmds.push_back("s:" + std::to_string(pc.nr) + ":&0:" + pc.rest);
  for (const PathCall& pc : kPathCalls) cmds.push_back("s:" + std::to_string(pc.nr) + ":&6000:" + pc.rest);
  auto run = probe(cmds, opt_);
  auto r = results_of(run.result);
  ASSERT_EQ(r.size(), 2 * std::size(kPathCalls));
  for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i], -TAVIK_ENAMETOOLONG) << "call " << i;
  EXPECT_EQ(names_in(root_ / "a"), (std::set<std::string>{"b", "b/c", "b/c/out_rel", "b/proc_rel"}));
}

TEST_F(Escape, NewlinesAreNamesInsideTheRootAndTracedEscaped) {
  opt_.trace.text = true;
  auto run = probe({"p:0:new\\nline", "s:open:&0:0x241:0", "p:100:dir\\n", "s:mkdir:&100:0:0", "s:chdir:&100:0:0",
                    "s:getcwd:&200:100:0", "o:200:5"},
                   opt_);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{3, 0, 0, 5, 5}));
  EXPECT_TRUE(fs::is_regular_file(root_ / "new\nline"));
  EXPECT_TRUE(fs::is_directory(root_ / "dir\n"));
  EXPECT_EQ(run.out, "/dir\n");
  EXPECT_NE(run.err.find("open(\"new\\nline\""), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("mkdir(\"dir\\n\")"), std::string::npos) << run.err;
}

}  // namespace
