// The trace in its three forms (text lines, JSON lines, recorded events), --inject, --tsc, and the limits.
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "support/kit.hpp"

namespace {

using tavik::RunOptions;
using tavik::RunResult;
using namespace tavik::test;

std::string faults() { return tavik::test::guest_image("faults"); }

TEST(Trace, TextLinesLookLikeStrace) {
  RunOptions opt;
  opt.trace.text = true;
  auto run = probe({"p:0:hi\\n", "s:write:1:&0:3", "s:open:&0:0:0", "m:100:40:120", "s:write:1:&100:40", "s:read:0:&0:5",
                    "s:999:1:0xa:3", "q:-3"},
                   opt);
  EXPECT_EQ(run.err,
            "write(1, \"hi\\n\", 3) = 3\n"
            "open(\"hi\\n\", O_RDONLY, 0) = -1 ENOENT (No such file or directory)\n"
            "write(1, \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"..., 40) = 40\n"
            "read(0, \"\", 5) = 0\n"
            "syscall_999(0x1, 0xa, 0x3) = -1 ENOSYS (Function not implemented)\n"
            "_exit(-3) = ?\n"
            "+++ exited with -3 +++\n");
}

TEST(Trace, JsonLinesCarryRegistersResultsBytesAndPaths) {
  ScratchRoot dir;
  std::ofstream(dir.path() / "in") << "Q";
  tavik::RunOptions opt = tavik::test::in_root(dir);
  opt.io.stdin_file = (dir.path() / "in").string();
  opt.trace.json = (dir.path() / "t.json").string();
  auto run = probe({"p:0:hi", "s:write:1:&0:2", "s:read:0:&8:4", "s:open:&0:0x241:0", "q:-2"}, opt);
  uint32_t buf = run.result.trace.at(0).args[1];
  std::string expect = "{\"nr\":1,\"name\":\"write\",\"args\":[1," + std::to_string(buf) + ",2],\"ret\":2,\"hex\":\"6869\"}\n" +
                       "{\"nr\":3,\"name\":\"read\",\"args\":[0," + std::to_string(buf + 8) + ",4],\"ret\":1,\"hex\":\"51\"}\n" +
                       "{\"nr\":4,\"name\":\"open\",\"args\":[" + std::to_string(buf) + ",577,0],\"ret\":3,\"path\":\"hi\"}\n" +
                       "{\"nr\":2,\"name\":\"_exit\",\"args\":[4294967294],\"ret\":0}\n" + "{\"exit\":-2}\n";
  EXPECT_EQ(without_frames(read_file(opt.trace.json)), expect);
  EXPECT_EQ(run.result.status, -2);
  EXPECT_EQ(run.result.host_exit_code(), 254);
}

TEST(Trace, InjectionsReplaceTheKthCallUnperformed) {
  ScratchRoot dir;
  std::ofstream(dir.path() / "f") << "x";
  tavik::RunOptions opt = tavik::test::in_root(dir);
  opt.trace.json = (dir.path() / "t.json").string();
  // K counts every call of the number, whatever its arguments.
  opt.injects = {{"open", 2, -TAVIK_ENOENT}, {"write", 1, 5}, {"mkdir", 1, 0}};
  auto run = probe({"p:0:/f", "p:10:/d", "s:open:&0:0:0", "s:open:&0:0x241:0", "s:open:&0:0:0", "s:write:1:&0:2", "s:write:1:&0:2",
                    "s:mkdir:&10:0:0"},
                   opt);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{3, -TAVIK_ENOENT, 4, 5, 2, 0}));
  EXPECT_EQ(read_file(dir.path() / "f"), "x") << "the injected open did not truncate";
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "d")) << "the injected mkdir made nothing";
  EXPECT_EQ(run.out, "/f") << "only the second write wrote";
  auto opens = calls_of(run.result, TAVIK_NR_open);
  EXPECT_TRUE(opens[1].injected);
  EXPECT_FALSE(opens[0].injected);
  EXPECT_EQ(opens[1].path, "/f") << "an injected call still shows its path";
  std::string json = read_file(opt.trace.json);
  EXPECT_NE(json.find("\"ret\":-2,\"error\":\"ENOENT\",\"path\":\"/f\",\"injected\":true}"), std::string::npos) << json;
}

TEST(Trace, FilterTimesSummaryStringLimitAndFileAsStraceHasThem) {
  ScratchRoot dir;
  RunOptions opt = in_root(dir);
  opt.trace.file = (dir.path() / "t.txt").string();
  opt.trace.calls = {"open", "%desc"};
  opt.trace.time = true;
  opt.trace.summary = true;
  opt.trace.string_limit = 4;
  probe({"p:0:/nope", "p:10:hello", "s:open:&0:0x241:0", "s:open:&0:0:0", "s:write:9:&10:5", "s:getcwd:&20:64:0"}, opt);
  std::string text = read_file(opt.trace.file);
  // The failed write shows the bytes it was given; getcwd is neither a named call nor a descriptor call.
  const std::string open_line = "open(\"/nope\", O_WRONLY|O_CREAT|O_TRUNC, 0) = 3 <0.0";
  EXPECT_EQ(text.rfind(open_line, 0), 0u) << text;
  EXPECT_NE(text.find("\nopen(\"/nope\", O_RDONLY, 0) = 4 <0.0"), std::string::npos) << text;
  EXPECT_NE(text.find("\nwrite(9, \"hell\"..., 5) = -1 EBADF (Bad file descriptor) <0.0"), std::string::npos) << text;
  EXPECT_EQ(text.find("getcwd("), std::string::npos) << text;
  EXPECT_NE(text.find("% time     seconds  usecs/call     calls    errors syscall\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 2           open\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 1         1 write\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 5         1 total\n"), std::string::npos) << text;
}

TEST(Trace, InjectionRangesAndErrorNames) {
  RunOptions opt;
  opt.injects = {{"getkey", 2, -TAVIK_ENOENT, 1}, {"usleep", 1, -TAVIK_EINTR, 2}};
  opt.io.stdin_file = "/dev/null";
  auto run = probe({"s:getkey:0:0:0", "s:getkey:0:0:0", "s:getkey:0:0:0", "s:usleep:0:0:0", "s:usleep:0:0:0",
                    "s:usleep:0:0:0"},
                   opt);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{-1, -TAVIK_ENOENT, -TAVIK_ENOENT, -TAVIK_EINTR, 0,
      -TAVIK_EINTR}));
}

TEST(Trace, UnknownInjectionNamesAreRefused) {
  RunOptions opt;
  opt.injects = {{"sleep", 1, 0}};  // call 22 is named usleep
  auto run = probe({}, opt);
  EXPECT_EQ(run.result.end, RunResult::End::NotRun);
  EXPECT_NE(run.result.error.find("sleep"), std::string::npos);
}

TEST(Trace, TscCountsFromTheGivenValue) {
  RunOptions opt;
  opt.tsc = 100;
  auto run = tavik::test::run_guest(faults(), {"t"}, opt);
  const uint32_t want[4] = {100, 0, 101, 0};
  EXPECT_EQ(run.out, std::string(reinterpret_cast<const char*>(want), 16));
  opt.tsc = 0xffffffffull;
  run = tavik::test::run_guest(faults(), {"t"}, opt);
  const uint32_t carry[4] = {0xffffffff, 0, 0, 1};
  EXPECT_EQ(run.out, std::string(reinterpret_cast<const char*>(carry), 16));
}

TEST(Trace, InstructionCountsAreExact) {
  RunOptions opt;
  opt.measure.count_insns = true;
  struct Case {
    const char* arg;
    uint64_t count;
  } cases[] = {{"", 6}, {"n", 7}, {"u", 19}};
  for (const Case& c : cases) {
    std::vector<std::string> args;
    if (*c.arg) args.push_back(c.arg);
    auto run = tavik::test::run_guest(faults(), args, opt);
    EXPECT_EQ(run.result.instructions, c.count) << c.arg;
    EXPECT_NE(run.err.find("instructions: " + std::to_string(c.count) + "\n"), std::string::npos) << run.err;
  }
}

TEST(Trace, LimitsStopARunawayGuest) {
  ScratchRoot dir;
  RunOptions opt;
  opt.limits.insn_limit = 100000;
  opt.trace.json = (dir.path() / "t.json").string();
  auto run = tavik::test::run_guest(faults(), {"l"}, opt);
  EXPECT_EQ(run.result.end, RunResult::End::Killed);
  EXPECT_EQ(run.result.killed, tavik::Limit::InsnLimit);
  EXPECT_EQ(run.result.host_exit_code(), 137);
  EXPECT_LE(run.result.instructions, 100000u);
  EXPECT_GT(run.result.instructions, 99000u);
  EXPECT_EQ(without_frames(read_file(opt.trace.json)), "{\"killed\":\"insn_limit\"}\n");

  RunOptions slow;
  slow.limits.timeout = 0.2;
  run = tavik::test::run_guest(faults(), {"l"}, slow);
  EXPECT_EQ(run.result.killed, tavik::Limit::Timeout);
  EXPECT_EQ(run.result.host_exit_code(), 137);
  // A sleeping guest is stopped at the time limit too, not at the end of its sleep.
  run = probe({"s:usleep:30000000:0:0"}, slow);
  EXPECT_EQ(run.result.killed, tavik::Limit::Timeout);
  // And so is one waiting for input that never comes.
  int never[2];
  ASSERT_EQ(::pipe(never), 0);
  slow.io.stdin_fd = never[0];
  run = tavik::test::run_guest(tavik::test::guest_image("probe"), {"s:read:0:&0:1", "s:getkey:0:0:0"}, slow);
  EXPECT_EQ(run.result.killed, tavik::Limit::Timeout);
  ::close(never[0]);
  ::close(never[1]);
}

}  // namespace
