// The process calls (_exit, spawn, waitpid, fd_set_inherit, fd_set_stdio) and a spawned child's life.
#include "kernel/spawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "kernel/deadline.hpp"
#include "base/errors.hpp"
#include "kernel/fd_table.hpp"
#include "kernel/host_errors.hpp"
#include "kernel/kernel.hpp"
#include "kernel/process_end.hpp"
#include "cpu/machine.hpp"
#include "kernel/shared_counters.hpp"
#include "kernel/sandbox.hpp"
#include "base/strf.hpp"
#include "kernel/syscall_table.hpp"
#include "kernel/termination.hpp"
#include "report/trace.hpp"

namespace tavik {
namespace {

constexpr int32_t kMaxSpawnArgs = 4096;
constexpr size_t kMaxSpawnBytes = 256 * 1024;

// The argument vector of a spawn: argc strings through the pointer array at addr; 0 or a negated error.
int32_t read_spawn_args(const Machine& m, uint32_t addr, int32_t argc, std::vector<std::string>& argv) {
  if (argc > kMaxSpawnArgs) return -TAVIK_E2BIG;
  size_t bytes = 0;
  for (int32_t i = 0; i < argc; ++i) {
    uint32_t ptr;
    if (m.read_bytes(addr + 4 * static_cast<uint32_t>(i), &ptr, 4) != 0) return kEFAULT;
    std::string arg;
    int32_t r = m.read_cstring(ptr, arg, kMaxSpawnBytes);
    if (r == -TAVIK_ENAMETOOLONG) return -TAVIK_E2BIG;
    if (r != 0) return r;
    bytes += arg.size() + 1;
    if (bytes > kMaxSpawnBytes) return -TAVIK_E2BIG;
    argv.push_back(std::move(arg));
  }
  return 0;
}

// In the freshly forked child: its own descriptors, as fd_set_inherit and fd_set_stdio asked.
void arrange_child_descriptors(Kernel& k) {
  std::array<std::shared_ptr<OpenFile>, 3> stdio;
  for (int i = 0; i < 3; ++i) stdio[i] = k.fds.get(k.spawn.stdio[i] >= 0 ? k.spawn.stdio[i] : i);
  if (!k.spawn.inherit) k.fds.drop_above_stdio();
  for (int i = 0; i < 3; ++i) {
    if (stdio[i]) k.fds.put(i, stdio[i]);
    else k.fds.close(i);
  }
  for (auto& [handle, s] : k.streams) {
    ::close(s.fd);
    ::close(s.dir_fd);
  }
  k.streams.clear();
  for (auto& [pid, pidfd] : k.spawn.children) ::close(pidfd);
  k.spawn = SpawnState{};
  k.spawn.in_child = true;
}

// The child's wait status as the guest sees it (POSIX layout): the exit status in bits 8..15, or the number of
// the signal that ended a faulted or stopped child.
uint32_t status_word(int st) {
  if (WIFEXITED(st)) return static_cast<uint32_t>(WEXITSTATUS(st)) << 8;
  return WIFSIGNALED(st) ? static_cast<uint32_t>(WTERMSIG(st)) : 0;
}

// Reaps pid if it has ended (or waits for it): its slot in the tree and its pidfd go with it.
bool reap(Kernel& k, int pid, int& st, bool wait) {
  pid_t r;
  do r = ::waitpid(pid, &st, wait ? 0 : WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r != pid) return false;
  ::close(k.spawn.children[pid]);
  k.spawn.children.erase(pid);
  k.tree.leave();
  return true;
}

// The pidfds of the children pid names (-1: all), readable when the child has ended.
std::vector<pollfd> pidfds_of(const Kernel& k, int pid) {
  std::vector<pollfd> fds;
  for (auto& [child, pidfd] : k.spawn.children)
    if (pid == -1 || child == pid) fds.push_back({pidfd, POLLIN, 0});
  return fds;
}

// Opens the image to spawn without waiting on a FIFO, and refuses anything that is not a regular file.
int open_image(Kernel& k, const std::string& path) {
  int fd = k.fs.open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return fd;
  struct stat st;
  int32_t err = ::fstat(fd, &st) != 0 ? neg_errno() : S_ISREG(st.st_mode) ? 0 : -TAVIK_EACCES;
  if (err == 0) return fd;
  ::close(fd);
  return err;
}

}  // namespace

int fork_child() {
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(128 + SIGKILL);  // the parent was gone before the line above
  return 0;
}

void end_children(Kernel& k) {
  auto& children = k.spawn.children;
  if (children.empty()) return;
  // Asked first, so that each child ends its own children and removes its temporary files; killed when it has
  // not ended within a second.
  for (auto& [pid, pidfd] : children) ::syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!children.empty()) {
    std::vector<int> pids;
    for (auto& [pid, pidfd] : children) pids.push_back(pid);
    int st;
    for (int pid : pids) reap(k, pid, st, false);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (children.empty() || left.count() <= 0) break;
    std::vector<pollfd> fds = pidfds_of(k, -1);
    ::poll(fds.data(), fds.size(), static_cast<int>(left.count()) + 1);
  }
  while (!children.empty()) {
    auto [pid, pidfd] = *children.begin();
    ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    int st;
    if (!reap(k, pid, st, true)) {
      ::close(pidfd);
      children.erase(pid);
    }
  }
}

int32_t sys__exit(Kernel& k, Call& c) {
  k.end.exit(static_cast<int32_t>(c.a[0]));
  return 0;
}

int32_t sys_fd_set_inherit(Kernel& k, Call& c) {
  k.spawn.inherit = c.a[0] != 0;
  return 0;
}

int32_t sys_fd_set_stdio(Kernel& k, Call& c) {
  for (int i = 0; i < 3; ++i) {
    int32_t fd = static_cast<int32_t>(c.a[i]);
    if (fd != -1 && !k.fds.get(fd)) return -TAVIK_EBADF;
  }
  for (int i = 0; i < 3; ++i) k.spawn.stdio[i] = static_cast<int32_t>(c.a[i]);
  return 0;
}

int32_t sys_spawn(Kernel& k, Call& c) {
  std::string path;
  if (int32_t r = k.path_arg(c, path)) return r;
  int32_t argc = static_cast<int32_t>(c.a[2]);
  if (argc < 0) return -TAVIK_EINVAL;
  std::vector<std::string> argv;
  if (int32_t r = read_spawn_args(k.m, c.a[1], argc, argv)) return r;
  c.show_argv(argv);
  int fd = open_image(k, path);
  if (fd < 0) return fd;
  FdCloser closer{fd};
  // Unreaped children count too: a guest that never waits would otherwise pile up host processes.
  if (k.spawn.children.size() >= k.limits.process_limit) return -TAVIK_EAGAIN;
  std::optional<Image> image;
  std::vector<uint8_t> kept;  // --record: the child's start record holds its image
  try {
    std::vector<uint8_t> file = Image::read_fd(fd, path, k.limits.memory_cap);
    if (k.spawn.keep_image) kept = file;
    image = Image::parse(std::move(file), path, k.limits.memory_cap);
  } catch (const SetupError&) {
    return -TAVIK_ENOEXEC;
  }
  if (!k.tree.enter(k.limits.process_limit)) return -TAVIK_EAGAIN;
  uint32_t serial = k.spawn.child_serial;  // the child's descriptors start afresh below
  pid_t pid = fork_child();
  if (pid < 0) {
    int32_t err = neg_errno();
    k.tree.leave();
    return err;
  }
  if (pid > 0) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
      int32_t err = neg_errno();
      ::kill(pid, SIGKILL);
      int st;
      while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
      k.tree.leave();
      return err;
    }
    k.spawn.children[pid] = pidfd;
    return pid;
  }
  // Its own descriptors, then the run loop starts the new image in place of this one.
  arrange_child_descriptors(k);
  std::string name = process_name(argv.empty() ? path : argv[0]);
  ChildStart start{std::move(*image), std::move(argv), std::move(name)};
  start.serial = serial;
  start.file = std::move(kept);
  k.end.become_child(std::move(start));
  return 0;
}

int32_t sys_waitpid(Kernel& k, Call& c) {
  int32_t pid = static_cast<int32_t>(c.a[0]);
  uint32_t options = c.a[2];
  if (options & ~uint32_t{TAVIK_WNOHANG}) return -TAVIK_EINVAL;
  if (c.a[1] != 0 && k.m.span(c.a[1], 4, UC_PROT_WRITE) != 4) return kEFAULT;
  auto& children = k.spawn.children;
  if (pid == -1 ? children.empty() : (pid <= 0 || !children.count(pid))) return -TAVIK_ECHILD;
  // Only this process's own children are waited for, never other children of the host process (an application
  // embedding the kit has its own).
  for (;;) {
    std::vector<int> candidates;
    for (auto& [child, pidfd] : children)
      if (pid == -1 || child == pid) candidates.push_back(child);
    for (int child : candidates) {
      int st = 0;
      if (!reap(k, child, st, false)) continue;
      uint32_t word = status_word(st);
      if (c.a[1] != 0) k.m.write_bytes(c.a[1], &word, 4);
      return child;
    }
    if (options & TAVIK_WNOHANG) return 0;
    std::vector<pollfd> fds = pidfds_of(k, pid);
    if (!k.deadline.wait_any(fds)) return -TAVIK_EINTR;
  }
}

}  // namespace tavik
