// The file-system calls: open, mkdir, unlink, rmdir, mkfifo, getcwd and chdir, all inside the sandbox.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "kernel/fd_table.hpp"
#include "kernel/host_errors.hpp"
#include "kernel/kernel.hpp"
#include "cpu/machine.hpp"
#include "kernel/sandbox.hpp"
#include "kernel/syscall_table.hpp"

namespace tavik {

int32_t sys_open(Kernel& k, Call& c) {
  std::string path;
  if (int32_t r = k.path_arg(c, path)) return r;
  uint32_t flags = c.a[1];
  if (flags & ~uint32_t{TAVIK_O_WRONLY | TAVIK_O_RDWR | TAVIK_O_CREAT | TAVIK_O_TRUNC}) return -TAVIK_EINVAL;
  if ((flags & 3) == 3) return -TAVIK_EINVAL;
  int host = (flags & TAVIK_O_RDWR) ? O_RDWR : (flags & TAVIK_O_WRONLY) ? O_WRONLY : O_RDONLY;
  if (flags & TAVIK_O_CREAT) host |= O_CREAT;
  if (flags & TAVIK_O_TRUNC) host |= O_TRUNC;
  // The guest file system has no permission bits of its own: created files are readable and writable.
  int fd = k.fs.open(path, host, 0666);
  if (fd < 0) return fd;
  return k.fds.add(std::make_shared<OpenFile>(fd, true));
}

namespace {

// mkdir and mkfifo: a new folder or FIFO as the last component of the path.
int32_t make_entry(Kernel& k, Call& c, bool fifo) {
  ParentDir p = k.parent_arg(c, fifo);
  if (p.fd < 0) return p.fd;
  if (is_dot_leaf(p.leaf)) return -TAVIK_EEXIST;
  int r = fifo ? ::mkfifoat(p.fd, p.leaf.c_str(), 0666) : ::mkdirat(p.fd, p.leaf.c_str(), 0777);
  return r == 0 ? 0 : neg_errno();
}

}  // namespace

int32_t sys_mkdir(Kernel& k, Call& c) { return make_entry(k, c, false); }

int32_t sys_unlink(Kernel& k, Call& c) {
  ParentDir p = k.parent_arg(c, true);
  if (p.fd < 0) return p.fd;
  if (is_dot_leaf(p.leaf)) return -TAVIK_EISDIR;
  return ::unlinkat(p.fd, p.leaf.c_str(), 0) == 0 ? 0 : neg_errno();
}

int32_t sys_rmdir(Kernel& k, Call& c) {
  ParentDir p = k.parent_arg(c);
  if (p.fd < 0) return p.fd;
  if (p.leaf.empty()) return -TAVIK_EBUSY;
  if (p.leaf == ".") return -TAVIK_EINVAL;
  if (p.leaf == "..") return -TAVIK_ENOTEMPTY;
  return ::unlinkat(p.fd, p.leaf.c_str(), AT_REMOVEDIR) == 0 ? 0 : neg_errno();
}

int32_t sys_mkfifo(Kernel& k, Call& c) { return make_entry(k, c, true); }

int32_t sys_getcwd(Kernel& k, Call& c) {
  const std::string& cwd = k.fs.cwd();
  uint32_t size = std::min<uint32_t>(c.a[1], kMaxCount);
  if (cwd.size() + 1 > size) return -TAVIK_ERANGE;
  if (int32_t r = k.m.write_bytes(c.a[0], cwd.c_str(), static_cast<uint32_t>(cwd.size() + 1))) return r;
  return static_cast<int32_t>(cwd.size());
}

int32_t sys_chdir(Kernel& k, Call& c) {
  std::string path;
  if (int32_t r = k.path_arg(c, path)) return r;
  return k.fs.chdir(path);
}

}  // namespace tavik
