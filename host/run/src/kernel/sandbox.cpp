// Sandbox: openat2 with RESOLVE_IN_ROOT on a descriptor of the root; never a string check on host paths.
#include "kernel/sandbox.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <tavik/abi.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/errors.hpp"
#include "base/strf.hpp"
#include "kernel/host_errors.hpp"

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
  if (path.empty() || root_fd_ < 0) return -TAVIK_ENOENT;
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
    return neg_errno();
  }
}

// Opened without waiting, so that a FIFO with nobody at its other end cannot block tavik-run itself (where no
// --timeout reaches it): reading one then sees its end, writing one answers -6. Later I/O waits as usual.
int Sandbox::open(const std::string& path, int flags, int mode) const {
  int fd = resolve(path, flags | O_NONBLOCK, mode);
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int Sandbox::open_parent(const std::string& path, std::string& leaf, bool file) const {
  if (path.empty() || root_fd_ < 0) return -TAVIK_ENOENT;
  std::string full = join(path);
  bool folder_only = full.size() > 1 && full.back() == '/';
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  size_t slash = full.rfind('/');
  std::string dir = slash == 0 ? "/" : full.substr(0, slash);
  leaf = full.substr(slash + 1);
  int fd = resolve(dir, O_PATH | O_DIRECTORY, 0);
  if (fd < 0 || !file || !folder_only) return fd;
  struct stat st;
  bool is_folder = ::fstatat(fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  return is_folder ? -TAVIK_EISDIR : -TAVIK_ENOTDIR;
}

// The guest path of a folder by climbing from it to the root, naming each step by its entry in the folder above:
// for folders whose host path is too long for the kernel to name at once.
std::string Sandbox::climb_to_root(int host_fd) const {
  struct stat root, at;
  if (::fstat(root_fd_, &root) != 0) return "";
  std::string path;
  int fd = ::fcntl(host_fd, F_DUPFD_CLOEXEC, 0);
  while (fd >= 0 && ::fstat(fd, &at) == 0) {
    if (at.st_dev == root.st_dev && at.st_ino == root.st_ino) {
      ::close(fd);
      return path.empty() ? "/" : path;
    }
    int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = up;
    DIR* dir = up >= 0 ? ::fdopendir(::fcntl(up, F_DUPFD_CLOEXEC, 0)) : nullptr;
    if (dir == nullptr) break;
    std::string name;
    while (dirent* e = ::readdir(dir)) {
      struct stat st;
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      if (::fstatat(up, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == at.st_dev && st.st_ino == at.st_ino) {
        name = e->d_name;
        break;
      }
    }
    ::closedir(dir);
    if (name.empty()) break;
    path = "/" + name + path;
  }
  if (fd >= 0) ::close(fd);
  return "";
}

std::string Sandbox::guest_path_of(int host_fd) const {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", host_fd);
  char buf[PATH_MAX];
  ssize_t n = ::readlink(link, buf, sizeof buf - 1);
  if (n < 0 && errno == ENAMETOOLONG) return climb_to_root(host_fd);
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
  if (now.empty()) return -TAVIK_ENOENT;
  cwd_ = now;
  return 0;
}

}  // namespace tavik
