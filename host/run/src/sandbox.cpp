// Sandbox: openat2 with RESOLVE_IN_ROOT on a descriptor of the root; never a string check on host paths.
#include "sandbox.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "errors.hpp"
#include "strf.hpp"

namespace tavik {

Sandbox::Sandbox(const std::string& host_root) {
  char* real = ::realpath(host_root.c_str(), nullptr);
  if (real == nullptr) throw SetupError(strf("--root %s: %s", host_root.c_str(), std::strerror(errno)));
  host_root_ = real;
  std::free(real);
  root_fd_ = ::open(host_root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) throw SetupError(strf("--root %s: %s", host_root.c_str(), std::strerror(errno)));
}

Sandbox::~Sandbox() {
  if (root_fd_ >= 0) ::close(root_fd_);
}

std::string Sandbox::join(const std::string& path) const {
  if (!path.empty() && path[0] == '/') return path;
  return cwd_ == "/" ? "/" + path : cwd_ + "/" + path;
}

int Sandbox::resolve(const std::string& path, int flags, int mode) const {
  if (path.empty()) return -ENOENT;
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? static_cast<uint64_t>(mode) : 0;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  std::string rel = join(path);
  for (;;) {
    long fd = ::syscall(SYS_openat2, root_fd_, rel.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // The kernel asks for a retry when a rename raced the in-root lookup.
    if (errno == EAGAIN || errno == EINTR) continue;
    return -errno;
  }
}

// Opened without waiting, so that a FIFO with nobody at its other end cannot block tavik-run itself (where no
// --timeout reaches it): reading one then sees its end, writing one answers -6. Later I/O waits as usual.
int Sandbox::open(const std::string& path, int flags, int mode) const {
  int fd = resolve(path, flags | O_NONBLOCK, mode);
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int Sandbox::open_parent(const std::string& path, std::string& leaf) const {
  if (path.empty()) return -ENOENT;
  std::string full = join(path);
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  size_t slash = full.rfind('/');
  std::string dir = slash == 0 ? "/" : full.substr(0, slash);
  leaf = full.substr(slash + 1);
  return resolve(dir, O_PATH | O_DIRECTORY, 0);
}

std::string Sandbox::guest_path_of(int host_fd) const {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", host_fd);
  char buf[PATH_MAX];
  ssize_t n = ::readlink(link, buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string host(buf, static_cast<size_t>(n));
  if (host == host_root_) return "/";
  std::string prefix = host_root_ == "/" ? "/" : host_root_ + "/";
  if (host.compare(0, prefix.size(), prefix) != 0) return "";
  return "/" + host.substr(prefix.size());
}

int Sandbox::chdir(const std::string& path) {
  int fd = resolve(path, O_PATH | O_DIRECTORY, 0);
  if (fd < 0) return fd;
  std::string now = guest_path_of(fd);
  ::close(fd);
  if (now.empty()) return -ENOENT;
  cwd_ = now;
  return 0;
}

}  // namespace tavik
