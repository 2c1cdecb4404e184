// What the system-call wrappers hand to the kernel, read off tavik-run's trace: refused arguments make no call,
// byte counts are clamped, registers carry what each wrapper promises, and kernel results come back unchanged.
#include "support/guest.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using tavik::TraceEvent;

struct Step {
  std::vector<TraceEvent> calls;  // the system calls the step made, its marker not included
  int32_t result = 0;             // what the wrapper returned, as the guest printed it
};

// Splits the trace at the guest's marker writes "@<step> <result>\n".
std::map<std::string, Step> split_steps(const std::vector<TraceEvent>& trace) {
  std::map<std::string, Step> steps;
  Step current;
  for (const TraceEvent& e : trace) {
    bool marker = e.nr == TAVIK_NR_write && e.args[0] == 1 && !e.data.empty() && e.data[0] == '@';
    if (!marker) {
      current.calls.push_back(e);
      continue;
    }
    std::string line = e.data.substr(1, e.data.size() - 2);
    size_t space = line.find(' ');
    current.result = std::stoi(line.substr(space + 1));
    steps[line.substr(0, space)] = current;
    current = Step{};
  }
  return steps;
}

class WrapperTrace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tavik::RunOptions opt;
    opt.io.root = root_->str();
    opt.io.stdin_file = "/dev/null";
    // sleep and usleep are answered without sleeping, with a failure that both wrappers must hide.
    opt.injects = {{"usleep", 1, -5}, {"usleep", 2, -5}, {"usleep", 3, -5}};
    run_ = new tavik::test::GuestRun(tavik::test::run_guest(tavik::test::target_program("wrapper_calls"), {}, opt));
    steps_ = new std::map<std::string, Step>(split_steps(run_->result.trace));
  }
  static void TearDownTestSuite() {
    delete steps_;
    delete run_;
  }
  const Step& step(const std::string& name) {
    auto it = steps_->find(name);
    if (it == steps_->end()) throw std::runtime_error("no step " + name);
    return it->second;
  }
  // The step made exactly one call, with this number, and the wrapper returned the kernel's result.
  const TraceEvent& one_call(const std::string& name, uint32_t nr) {
    const Step& s = step(name);
    EXPECT_EQ(s.calls.size(), 1u) << name;
    if (s.calls.empty()) throw std::runtime_error("no call in " + name);
    EXPECT_EQ(s.calls[0].nr, nr) << name;
    EXPECT_EQ(s.result, s.calls[0].ret) << name;
    return s.calls[0];
  }

  static inline tavik::test::ScratchRoot* root_ = new tavik::test::ScratchRoot;
  static inline tavik::test::GuestRun* run_;
  static inline std::map<std::string, Step>* steps_;
};

TEST_F(WrapperTrace, GuestRanToItsEnd) {
  EXPECT_EQ(run_->result.end, tavik::RunResult::End::Exit) << run_->err;
  EXPECT_EQ(run_->result.status, 0);
  EXPECT_EQ(step("errno").result, 0) << "no wrapper may touch errno";
}

TEST_F(WrapperTrace, RefusedArgumentsMakeNoCall) {
  for (const char* name : {"write_null", "read_null", "open_null", "creat_null", "access_null",
                           "writefile_null_path", "writefile_null_data", "getcwd_null", "getcwd_zero", "mkdir_null",
                           "unlink_null", "rmdir_null", "chdir_null", "mkfifo_null", "pipe_null", "stream_begin_null",
                           "stream_write_null", "spawn_null", "spawn_negative"}) {
    EXPECT_TRUE(step(name).calls.empty()) << name;
    EXPECT_EQ(step(name).result, -1) << name;
  }
}

TEST_F(WrapperTrace, ByteCountsAreClampedToTheSignedRange) {
  EXPECT_EQ(one_call("write_clamp", TAVIK_NR_write).args[2], 0x7fffffffu);
  EXPECT_EQ(one_call("read_clamp", TAVIK_NR_read).args[2], 0x7fffffffu);
  EXPECT_EQ(one_call("writefile_clamp", TAVIK_NR_writefile).args[2], 0x7fffffffu);
  EXPECT_EQ(one_call("stream_write_clamp", TAVIK_NR_tavikfs_stream_write).args[2], 0x7fffffffu);
  const TraceEvent& cwd = one_call("getcwd_clamp", TAVIK_NR_getcwd);
  EXPECT_EQ(cwd.args[1], 0x7fffffffu);
  EXPECT_EQ(cwd.args[2], 0u);
  // A count of 0 is passed on, not refused.
  EXPECT_EQ(one_call("write_zero", TAVIK_NR_write).args[2], 0u);
  const TraceEvent& empty = one_call("writefile_empty", TAVIK_NR_writefile);
  EXPECT_EQ(empty.args[2], 0u);
  EXPECT_EQ(empty.ret, 0);
}

TEST_F(WrapperTrace, OpenPassesTheModeOnlyWhenCreating) {
  const TraceEvent& create = one_call("open_create", TAVIK_NR_open);
  EXPECT_EQ(create.args[1], 0x41u);
  EXPECT_EQ(create.args[2], 0644u);
  EXPECT_EQ(create.ret, 3) << "the lowest free descriptor";
  const TraceEvent& plain = one_call("open_plain", TAVIK_NR_open);
  EXPECT_EQ(plain.args[1], 0u);
  EXPECT_EQ(plain.args[2], 0u) << "the caller's mode must not reach the kernel without 0x40";
  const TraceEvent& creat = one_call("creat", TAVIK_NR_open);
  EXPECT_EQ(creat.args[1], 0x241u);
  EXPECT_EQ(creat.args[2], 0u);
  // A kernel failure reaches the caller unchanged.
  EXPECT_EQ(one_call("open_missing", TAVIK_NR_open).ret, -TAVIK_ENOENT);
}

TEST_F(WrapperTrace, AccessOpensForReadingThenCloses) {
  const Step& made = step("access_made");
  ASSERT_EQ(made.calls.size(), 2u);
  EXPECT_EQ(made.calls[0].nr, TAVIK_NR_open);
  EXPECT_EQ(made.calls[0].args[1], 0u);
  EXPECT_EQ(made.calls[0].args[2], 0u);
  EXPECT_EQ(made.calls[1].nr, TAVIK_NR_close);
  EXPECT_EQ(made.calls[1].args[0], static_cast<uint32_t>(made.calls[0].ret));
  EXPECT_EQ(made.result, 0);
  const Step& missing = step("access_missing");
  ASSERT_EQ(missing.calls.size(), 1u) << "nothing to close after a failed open";
  EXPECT_LT(missing.calls[0].ret, 0);
  EXPECT_EQ(missing.result, -1);
}

TEST_F(WrapperTrace, SleepsAskInMicrosecondsAndAlwaysSucceed) {
  // The kernel answers -5 (injected): both wrappers hide it.
  const std::pair<const char*, uint32_t> cases[] = {{"sleep", 1000000u}, {"usleep", 250u}, {"sleep_wrap", 32704u}};
  for (const auto& [name, micros] : cases) {
    const Step& s = step(name);
    ASSERT_EQ(s.calls.size(), 1u) << name;
    EXPECT_EQ(s.calls[0].nr, TAVIK_NR_usleep) << name;
    EXPECT_EQ(s.calls[0].args[0], micros) << name << ": 4295 s wraps in 32-bit microseconds";
    EXPECT_TRUE(s.calls[0].injected) << name;
    EXPECT_EQ(s.calls[0].ret, -TAVIK_EIO) << name;
    EXPECT_EQ(s.result, 0) << name;
  }
}

TEST_F(WrapperTrace, RegistersCarryArgumentsAsGiven) {
  const TraceEvent& seek = one_call("lseek", TAVIK_NR_lseek);
  EXPECT_EQ(seek.args, (std::array<uint32_t, 3>{99, 0xfffffffdu, 2}));
  EXPECT_EQ(one_call("dup2", TAVIK_NR_dup2).args, (std::array<uint32_t, 3>{1, 5, 0}));
  EXPECT_EQ(one_call("fd_set_inherit_neg", TAVIK_NR_fd_set_inherit).args[0], 1u);
  EXPECT_EQ(one_call("fd_set_inherit_zero", TAVIK_NR_fd_set_inherit).args[0], 0u);
  EXPECT_EQ(one_call("fd_set_nonblock", TAVIK_NR_fd_set_nonblock).args, (std::array<uint32_t, 3>{1, 1, 0}));
  EXPECT_EQ(one_call("fd_set_stdio", TAVIK_NR_fd_set_stdio).args, (std::array<uint32_t, 3>{0, 1, 1}));
  const TraceEvent& spawn = one_call("spawn_missing", TAVIK_NR_spawn);
  EXPECT_EQ(spawn.args[1], 0u) << "a null argument vector is passed on";
  EXPECT_EQ(spawn.args[2], 0u);
  EXPECT_LT(spawn.ret, 0);
  const TraceEvent& wait = one_call("waitpid", TAVIK_NR_waitpid);
  EXPECT_EQ(wait.args[0], 12345u);
  EXPECT_EQ(wait.args[2], 1u);
  EXPECT_EQ(one_call("stream_end", TAVIK_NR_tavikfs_stream_end).args[0], 0xffffffffu);
  one_call("pipe", TAVIK_NR_pipe);
  one_call("getkey", TAVIK_NR_getkey);
}

}  // namespace
