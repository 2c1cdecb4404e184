// Running programs from a test as a shell would (tavik-run, tavik-meta, gdb), each with a bound on how long it
// may take: the one way a host test starts a process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace tavik::test {

struct Ended {
  int status = -1;      // exit status, or 128 + signal
  bool hung = false;    // still running at the bound: killed by the test
  bool signaled = false;
  long max_rss_kib = 0;  // the child's peak resident memory
};

// Host descriptors for tavik-run's 0, 1, 2; -1 is /dev/null.
struct Stdio {
  int in = -1, out = -1, err = -1;
};

// Starts program (a path, or a name looked up in PATH) with args, in the host folder cwd when one is given.
inline pid_t start_program(const std::string& program, const std::vector<std::string>& args, Stdio io = {},
                           const std::string& cwd = "") {
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    const int from[3] = {io.in, io.out, io.err};
    for (int fd = 0; fd < 3; ++fd) ::dup2(from[fd] >= 0 ? from[fd] : null, fd);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    // Whatever the test runner does with SIGPIPE, tavik-run starts as a shell would start it.
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Starts tavik-run with args.
inline pid_t start_cli(const std::vector<std::string>& args, Stdio io = {}, const std::string& cwd = "") {
  return start_program(TAVIK_RUN_EXE, args, io, cwd);
}

// Waits at most `bound` seconds, then kills: a limit that does not hold shows as `hung`, not as a stuck test.
inline Ended wait_cli(pid_t pid, double bound) {
  Ended e;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(bound);
  int st = 0;
  rusage ru{};
  while (::wait4(pid, &st, WNOHANG, &ru) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      e.hung = true;
      ::kill(pid, SIGKILL);
      ::wait4(pid, &st, 0, &ru);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  e.signaled = WIFSIGNALED(st);
  e.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  e.max_rss_kib = ru.ru_maxrss;
  return e;
}

// A finished program with what it wrote on its stdout and stderr.
struct Output : Ended {
  std::string out, err;
};

inline std::string read_all(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  std::fclose(f);
  return text;
}

// Runs program with args to its end (stdin /dev/null), at most `bound` seconds, capturing its output.
inline Output run_program(const std::string& program, const std::vector<std::string>& args, double bound = 60) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Output o;
  static_cast<Ended&>(o) = wait_cli(start_program(program, args, {-1, fileno(out), fileno(err)}), bound);
  o.out = read_all(out);
  o.err = read_all(err);
  return o;
}

}  // namespace tavik::test
