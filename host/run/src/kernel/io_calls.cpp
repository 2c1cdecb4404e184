// The descriptor calls: write, read, close, getkey, lseek, pipe, dup, dup2, fd_set_nonblock, and usleep.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kernel/deadline.hpp"
#include "kernel/fd_table.hpp"
#include "kernel/guest_copy.hpp"
#include "kernel/host_errors.hpp"
#include "kernel/kernel.hpp"
#include "cpu/machine.hpp"
#include "kernel/syscall_table.hpp"
#include "kernel/termination.hpp"

namespace tavik {
namespace {

// A descriptor marked non-blocking answers -11 instead of waiting.
bool would_block(const OpenFile& f, short events) {
  if (!f.nonblock) return false;
  pollfd p{f.host_fd, events, 0};
  int r;
  do r = ::poll(&p, 1, 0);
  while (r < 0 && errno == EINTR);
  return r == 0;
}

// Sets or clears O_NONBLOCK on a host descriptor this process owns: true when done.
bool set_nonblocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

// Clips len to what the file size limit leaves from the current position of a regular file: 0, or -27 when
// nothing is left. Pipes, terminals and devices have no size to limit.
int32_t file_room(const Kernel& k, const OpenFile& f, uint32_t& len) {
  if (!f.regular()) return 0;
  off_t pos = ::lseek(f.host_fd, 0, SEEK_CUR);
  if (pos < 0) return 0;
  uint64_t limit = k.limits.file_size_limit;
  if (static_cast<uint64_t>(pos) >= limit) return -TAVIK_EFBIG;
  len = static_cast<uint32_t>(std::min<uint64_t>(len, limit - static_cast<uint64_t>(pos)));
  return 0;
}

}  // namespace

int32_t sys_write(Kernel& k, Call& c) {
  auto f = k.fds.get(static_cast<int32_t>(c.a[0]));
  if (!f || !f->writable()) return -TAVIK_EBADF;
  uint32_t len = std::min<uint32_t>(c.a[2], kMaxCount);
  if (k.limits.write_limit != 0) len = std::min(len, k.limits.write_limit);
  if (len == 0) return 0;
  if (f->owned)
    if (int32_t r = file_room(k, *f, len)) return r;
  if (f->regular()) return copy_to_host(k.m, f->host_fd, c.a[1], len, c);
  // A pipe, FIFO or terminal takes what fits: the rest waits for room, but never past the time limit, and not
  // at all for a non-blocking descriptor.
  if (int twin = f->nonblocking_twin(); twin >= 0)
    return copy_to_host(k.m, twin, c.a[1], len, c, [&]() -> int32_t {
      if (f->nonblock) return -TAVIK_EAGAIN;
      return k.deadline.wait_ready(twin, POLLOUT, true) ? 0 : -TAVIK_EINTR;
    }, WaitWhen::OnWouldBlock);
  return copy_to_host(k.m, f->host_fd, c.a[1], len, c, [&]() -> int32_t {
    if (f->nonblock) return would_block(*f, POLLOUT) ? -TAVIK_EAGAIN : 0;
    return k.deadline.wait_ready(f->host_fd, POLLOUT, true) ? 0 : -TAVIK_EINTR;
  });
}

int32_t sys_read(Kernel& k, Call& c) {
  auto f = k.fds.get(static_cast<int32_t>(c.a[0]));
  if (!f || !f->readable()) return -TAVIK_EBADF;
  uint32_t len = std::min<uint32_t>(c.a[2], kMaxCount);
  if (len == 0) return 0;
  if (would_block(*f, POLLIN)) return -TAVIK_EAGAIN;
  struct stat st;
  bool have_stat = ::fstat(f->host_fd, &st) == 0;
  bool regular = have_stat && S_ISREG(st.st_mode);
  // poll never calls a FIFO that has had no writer ready, yet reading it ends at once: under a time limit, a
  // FIFO the guest opened is asked without waiting first, and waited on only when a writer has sent nothing.
  bool ask_first = k.deadline.set() && f->owned && !f->nonblock && have_stat && S_ISFIFO(st.st_mode) &&
                   set_nonblocking(f->host_fd, true);
  if (!ask_first && !k.deadline.wait_ready(f->host_fd, POLLIN)) return -TAVIK_EINTR;
  std::vector<char> chunk(std::min(len, kCopyChunk));
  uint32_t total = 0;
  while (total < len) {
    uint32_t want = std::min(kCopyChunk, len - total);
    // Only as much as the guest buffer can take is read, so that no byte is consumed and then lost.
    uint32_t room = k.m.span(c.a[1] + total, want, UC_PROT_WRITE);
    if (room == 0 || uint64_t(c.a[1]) + total + room > 0x100000000ull) return total ? int32_t(total) : kEFAULT;
    ssize_t n;
    do n = ::read(f->host_fd, chunk.data(), room);
    while (n < 0 && errno == EINTR && !termination_requested());
    if (n < 0 && errno == EAGAIN && ask_first) {
      ask_first = false;
      set_nonblocking(f->host_fd, false);
      if (!k.deadline.wait_ready(f->host_fd, POLLIN)) return -TAVIK_EINTR;
      continue;
    }
    if (ask_first) {
      ask_first = false;
      set_nonblocking(f->host_fd, false);
    }
    if (n < 0) return total ? int32_t(total) : neg_errno();
    if (n == 0) break;
    k.m.write_bytes(c.a[1] + total, chunk.data(), static_cast<uint32_t>(n));
    c.show(chunk.data(), static_cast<size_t>(n));
    total += static_cast<uint32_t>(n);
    // Pipes and terminals deliver what they have: asking again could wait for input nobody sends.
    if (!regular || static_cast<uint32_t>(n) < room) break;
  }
  return static_cast<int32_t>(total);
}

int32_t sys_close(Kernel& k, Call& c) { return k.fds.close(static_cast<int32_t>(c.a[0])); }

int32_t sys_getkey(Kernel& k, Call&) {
  auto f = k.fds.get(0);
  if (!f) return -TAVIK_EBADF;
  if (!k.deadline.wait_ready(f->host_fd, POLLIN)) return -TAVIK_EINTR;
  unsigned char byte;
  ssize_t n;
  do n = ::read(f->host_fd, &byte, 1);
  while (n < 0 && errno == EINTR && !termination_requested());
  if (n == 1) return byte;
  return n == 0 ? -1 : neg_errno();
}

int32_t sys_usleep(Kernel& k, Call& c) {
  k.deadline.sleep_us(c.a[0]);
  return 0;
}

int32_t sys_lseek(Kernel& k, Call& c) {
  auto f = k.fds.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -TAVIK_EBADF;
  uint32_t whence = c.a[2];
  if (whence > TAVIK_SEEK_END) return -TAVIK_EINVAL;
  static const int host_whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  off_t now = ::lseek(f->host_fd, 0, SEEK_CUR);
  off_t pos = ::lseek(f->host_fd, static_cast<int32_t>(c.a[1]), host_whence[whence]);
  if (pos < 0) return neg_errno();
  if (pos > 0x7fffffff) {
    // The guest could not name this position: stay where it was.
    if (now >= 0) ::lseek(f->host_fd, now, SEEK_SET);
    return -TAVIK_EOVERFLOW;
  }
  return static_cast<int32_t>(pos);
}

int32_t sys_pipe(Kernel& k, Call& c) {
  if (k.m.span(c.a[0], 8, UC_PROT_WRITE) != 8) return kEFAULT;
  int host[2];
  if (::pipe2(host, O_CLOEXEC) != 0) return neg_errno();
  auto rd = std::make_shared<OpenFile>(host[0], true);
  auto wr = std::make_shared<OpenFile>(host[1], true);
  int32_t ends[2];
  ends[0] = k.fds.add(rd);
  if (ends[0] < 0) return ends[0];
  ends[1] = k.fds.add(wr);
  if (ends[1] < 0) {
    k.fds.close(ends[0]);
    return ends[1];
  }
  k.m.write_bytes(c.a[0], ends, sizeof ends);
  return 0;
}

int32_t sys_dup(Kernel& k, Call& c) {
  auto f = k.fds.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -TAVIK_EBADF;
  return k.fds.add(f, 0);
}

int32_t sys_dup2(Kernel& k, Call& c) {
  auto f = k.fds.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -TAVIK_EBADF;
  int32_t to = static_cast<int32_t>(c.a[1]);
  if (to == static_cast<int32_t>(c.a[0])) return to;
  return k.fds.put(to, f);
}

int32_t sys_fd_set_nonblock(Kernel& k, Call& c) {
  auto f = k.fds.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -TAVIK_EBADF;
  f->nonblock = c.a[1] != 0;
  return 0;
}

}  // namespace tavik
