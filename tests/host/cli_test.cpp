// The tavik-run command line: options end at EXE, exit statuses, and its own errors as status 125.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "support/kit.hpp"

extern char** environ;

namespace {

using namespace tavik::test;

struct Cli {
  int status;
  std::string out, err;
};

Cli tavik_run(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null") {
  ScratchRoot dir;
  std::string out = dir.str() + "/out", err = dir.str() + "/err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> words{TAVIK_RUN_EXE};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid;
  Cli cli{-1, "", ""};
  if (posix_spawn(&pid, TAVIK_RUN_EXE, &fa, nullptr, argv.data(), environ) == 0) {
    int st = 0;
    waitpid(pid, &st, 0);
    cli.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  posix_spawn_file_actions_destroy(&fa);
  cli.out = read_file(out);
  cli.err = read_file(err);
  return cli;
}

TEST(Cli, EverythingAfterTheExecutableGoesToTheGuest) {
  std::string probe = guest_image("probe");
  auto run = tavik_run({"--argv0", "p0", probe, "a", "-h", "--trace", "--", "--root"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "p0\na\n-h\n--trace\n--\n--root\nend\n");
  EXPECT_EQ(run.err, "") << "--trace after EXE is the guest's";
}

TEST(Cli, ExitStatusesOfTheGuest) {
  std::string probe = guest_image("probe");
  EXPECT_EQ(tavik_run({probe, "q:300"}).status, 300 & 0xff);
  EXPECT_EQ(tavik_run({probe, "q:-1"}).status, 255);
  EXPECT_EQ(tavik_run({guest_image("faults"), "n"}).status, 139);
  EXPECT_EQ(tavik_run({guest_image("faults"), "u"}).status, 132);
  EXPECT_EQ(tavik_run({guest_image("faults"), "d"}).status, 136);
  EXPECT_EQ(tavik_run({guest_image("faults"), "b"}).status, 133);
  EXPECT_EQ(tavik_run({"--insn-limit", "1000", guest_image("faults"), "l"}).status, 137);
}

TEST(Cli, OptionsReachTheRun) {
  ScratchRoot dir;
  std::ofstream(dir.path() / "in") << "abc";
  std::string probe = guest_image("probe");
  auto run = tavik_run({"--root", dir.str(), "--stdin", dir.str() + "/in", "--trace", "--count-insns",
                        "--inject", "mkdir#1=-5", "--inject", "syscall_700#*=7", "--write-limit", "1", probe,
                        "s:read:0:&0:3", "o:0:3", "p:10:/d", "s:mkdir:&10:0:0", "s:700:0:0:0", "s:700:1:0:0"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "a");
  EXPECT_NE(run.err.find("read(0, \"abc\", 3) = 3\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("write(1, \"a\", 3) = 1\n"), std::string::npos);
  EXPECT_NE(run.err.find("mkdir(\"/d\") = -1 EIO (Input/output error) (injected)\n"), std::string::npos);
  EXPECT_NE(run.err.find("syscall_700(0, 0, 0) = 7 (injected)\n"), std::string::npos);
  EXPECT_NE(run.err.find("syscall_700(0x1, 0, 0) = 7 (injected)\n"), std::string::npos);
  EXPECT_NE(run.err.find("instructions: "), std::string::npos);
  auto json = tavik_run({"--trace-json", dir.str() + "/t.json", "--tsc", "5", guest_image("faults"), "t"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out.size(), 16u);
  EXPECT_EQ(json.out[0], 5);
  EXPECT_NE(read_file(dir.path() / "t.json").find("\"exit\":0}"), std::string::npos);
  // strace's forms of -e: a bare list, "all but", and several adding up.
  std::vector<std::string> calls = {probe, "p:10:/d", "s:mkdir:&10:0:0", "s:rmdir:&10:0:0", "o:0:1"};
  auto traced = [&](std::vector<std::string> filters) {
    filters.insert(filters.begin(), {"--root", dir.str()});
    filters.insert(filters.end(), calls.begin(), calls.end());
    return tavik_run(filters).err;
  };
  EXPECT_EQ(traced({"-e", "mkdir"}), "mkdir(\"/d\") = 0\n+++ exited with 0 +++\n");
  EXPECT_EQ(traced({"-e", "trace=!mkdir,_exit,write"}), "rmdir(\"/d\") = 0\n+++ exited with 0 +++\n");
  EXPECT_EQ(traced({"-e", "mkdir", "-e", "rmdir"}), "mkdir(\"/d\") = 0\nrmdir(\"/d\") = 0\n+++ exited with 0 +++\n");
}

TEST(Cli, ItsOwnFailuresAreStatus125WithAMessage) {
  ScratchRoot dir;
  std::ofstream(dir.path() / "junk") << "junk";
  auto bad_image = tavik_run({dir.str() + "/junk"});
  EXPECT_EQ(bad_image.status, 125);
  EXPECT_EQ(bad_image.err, "tavik-run: " + dir.str() + "/junk: not an ELF image\n");
  EXPECT_EQ(tavik_run({}).status, 125);
  EXPECT_EQ(tavik_run({"--bogus", guest_image("probe")}).status, 125);
  auto bad_inject = tavik_run({"--inject", "open", guest_image("probe")});
  EXPECT_EQ(bad_inject.status, 125);
  EXPECT_NE(bad_inject.err.find("NAME#WHEN=RESULT"), std::string::npos);
  EXPECT_EQ(tavik_run({"--inject", "open#0=1", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--inject", "open#**=1", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--inject", "open#1+0=1", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--inject", "open#1=ENOSUCH", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--inject", "open#2+3=ENOENT", guest_image("probe")}).status, 0);
  auto host_program = tavik_run({"/bin/sh"});
  EXPECT_EQ(host_program.status, 125);
  EXPECT_NE(host_program.err.find("link it with tavik-cc"), std::string::npos) << host_program.err;
  auto typo = tavik_run({"--trce", guest_image("probe")});
  EXPECT_EQ(typo.status, 125);
  EXPECT_NE(typo.err.find("unknown option '--trce'"), std::string::npos) << typo.err;
  EXPECT_EQ(tavik_run({"-e", "trace=nosuch", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"-e", "!nosuch", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"-e", "signal=none", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--inject", "nosuch#1=1", guest_image("probe")}).status, 125);
  // A number is named as the trace names it: a call of the table by its name, no leading zeros.
  EXPECT_EQ(tavik_run({"--inject", "syscall_4#1=1", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--inject", "syscall_0700#1=1", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--inject", "syscall_99999999999#1=1", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--root", dir.str() + "/missing", guest_image("probe")}).status, 125);
  EXPECT_EQ(tavik_run({"--stdin", dir.str() + "/missing", guest_image("probe")}).status, 125);
  // Counts are whole numbers in range: none wraps into "no limit", an injection's K is no " -1".
  for (std::vector<std::string> bad : {std::vector<std::string>{"--insn-limit", "-1"}, {"--insn-limit", "18446744073709551616"},
                                       {"--file-size-limit", "-5"}, {"--tsc", "-1"}, {"--write-limit", "4294967296"},
                                       {"--inject", "open# -1=5"}, {"--inject", "open#1= 5"}}) {
    bad.push_back(guest_image("probe"));
    EXPECT_EQ(tavik_run(bad).status, 125) << bad[0] << " " << bad[1];
  }
  EXPECT_NE(tavik_run({"--inject", "open#1=ENOTENT", guest_image("probe")}).err.find("'ENOTENT'"), std::string::npos);
  for (const char* seconds : {"nan", "inf", "-1", "x"}) {
    auto bad_timeout = tavik_run({"--timeout", seconds, guest_image("probe")});
    EXPECT_EQ(bad_timeout.status, 125) << seconds;
    EXPECT_LT(bad_timeout.err.size(), 200u) << bad_timeout.err;
  }
  EXPECT_EQ(tavik_run({"--timeout", "1e10", guest_image("probe")}).status, 0) << "a long limit is no limit";
  auto help = tavik_run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--insn-limit"), std::string::npos);
}

}  // namespace
