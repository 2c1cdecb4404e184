// Whole-file writes: the temporary-then-rename machinery, writefile and the streamed form.
#include "kernel/whole_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "kernel/guest_copy.hpp"
#include "kernel/host_errors.hpp"
#include "kernel/kernel.hpp"
#include "cpu/machine.hpp"
#include "kernel/sandbox.hpp"
#include "base/strf.hpp"
#include "kernel/syscall_table.hpp"

namespace tavik {
namespace {

// Each open stream holds two host descriptors until it ends; a guest opening streams without end would
// otherwise exhaust the host's.
constexpr size_t kMaxStreams = 64;

}  // namespace

int create_temp(int dir_fd, const std::string& leaf, std::string& temp) {
  // A name the folder cannot hold is refused before any data is taken, not at the final rename.
  if (leaf.size() > 255) return -TAVIK_ENAMETOOLONG;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = strf(".%s.tavik-%d-%u", leaf.c_str(), static_cast<int>(::getpid()), ++counter);
    if (temp.size() > 255) temp = strf(".tavik-%d-%u", static_cast<int>(::getpid()), counter);
    int fd = ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd >= 0 ? fd : neg_errno();
  }
  return -TAVIK_EEXIST;
}

int32_t commit_temp(int dir_fd, int fd, const std::string& temp, const std::string& leaf) {
  int32_t result = 0;
  if (::fsync(fd) != 0) result = neg_errno();
  if (::close(fd) != 0 && result == 0) result = neg_errno();
  if (result == 0 && ::renameat(dir_fd, temp.c_str(), dir_fd, leaf.c_str()) != 0) result = neg_errno();
  if (result < 0) ::unlinkat(dir_fd, temp.c_str(), 0);
  return result;
}

int32_t sys_writefile(Kernel& k, Call& c) {
  std::string path;
  if (int32_t r = k.path_arg(c, path)) return r;
  uint32_t len = std::min<uint32_t>(c.a[2], kMaxCount);
  if (len > 0 && k.m.span(c.a[1], 1, UC_PROT_READ) == 0) return kEFAULT;
  if (len > k.limits.file_size_limit) return -TAVIK_EFBIG;  // refused whole: the old file stays
  std::string leaf;
  int dir = k.fs.open_parent(path, leaf, true);
  if (dir < 0) return dir;
  FdCloser dir_closer{dir};
  if (is_dot_leaf(leaf)) return -TAVIK_EISDIR;
  std::string temp;
  int fd = create_temp(dir, leaf, temp);
  if (fd < 0) return fd;
  int32_t wrote = len ? copy_to_host(k.m, fd, c.a[1], len, c) : 0;
  if (wrote >= 0 && static_cast<uint32_t>(wrote) != len) wrote = kEFAULT;  // the data ended in unmapped memory
  if (wrote < 0) {
    ::close(fd);
    ::unlinkat(dir, temp.c_str(), 0);
    return wrote;
  }
  return commit_temp(dir, fd, temp, leaf);
}

int32_t sys_tavikfs_stream_begin(Kernel& k, Call& c) {
  std::string path, leaf;
  if (int32_t r = k.path_arg(c, path)) return r;
  if (k.streams.size() >= kMaxStreams) return -TAVIK_EMFILE;
  int dir = k.fs.open_parent(path, leaf, true);
  if (dir < 0) return dir;
  if (is_dot_leaf(leaf)) {
    ::close(dir);
    return -TAVIK_EISDIR;
  }
  std::string temp;
  int fd = create_temp(dir, leaf, temp);
  if (fd < 0) {
    ::close(dir);
    return fd;
  }
  int32_t handle = 1;
  while (k.streams.count(handle)) ++handle;
  k.streams[handle] = FileStream{dir, fd, temp, leaf};
  return handle;
}

int32_t sys_tavikfs_stream_write(Kernel& k, Call& c) {
  auto it = k.streams.find(static_cast<int32_t>(c.a[0]));
  if (it == k.streams.end()) return -TAVIK_EBADF;
  uint32_t len = std::min<uint32_t>(c.a[2], kMaxCount);
  if (len == 0) return 0;
  uint64_t limit = k.limits.file_size_limit;
  if (it->second.size >= limit) return -TAVIK_EFBIG;
  len = static_cast<uint32_t>(std::min<uint64_t>(len, limit - it->second.size));
  int32_t wrote = copy_to_host(k.m, it->second.fd, c.a[1], len, c);
  if (wrote > 0) it->second.size += static_cast<uint32_t>(wrote);
  return wrote;
}

int32_t sys_tavikfs_stream_end(Kernel& k, Call& c) {
  auto it = k.streams.find(static_cast<int32_t>(c.a[0]));
  if (it == k.streams.end()) return -TAVIK_EBADF;
  FileStream s = it->second;
  k.streams.erase(it);
  int32_t result = commit_temp(s.dir_fd, s.fd, s.temp, s.leaf);
  ::close(s.dir_fd);
  return result;
}

}  // namespace tavik
