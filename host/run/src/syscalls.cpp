// Syscalls: the call table and its handlers. Handlers reach guest memory only through GuestMemory's checked
// copies and the host only through the Sandbox and the FdTable; failures are negative Linux error numbers.
#include "syscalls.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "errors.hpp"
#include "fd_table.hpp"
#include "limits.hpp"
#include "process.hpp"
#include "sandbox.hpp"

namespace tavik {
namespace {

constexpr uint32_t kMaxCount = 0x7fffffff;
constexpr uint32_t kChunk = 64 * 1024;
constexpr uint32_t kMaxPath = 4096;
constexpr int32_t kMaxSpawnArgs = 4096;
constexpr size_t kMaxSpawnBytes = 256 * 1024;
// Each open stream holds two host descriptors until it ends; a guest opening streams without end would
// otherwise exhaust the host's.
constexpr size_t kMaxStreams = 64;
constexpr int32_t kEFBIG = -27;

// Guest open flags, numbered as on Linux.
constexpr uint32_t kOpenWrite = 0x1, kOpenReadWrite = 0x2, kOpenCreate = 0x40, kOpenTruncate = 0x200;

using K = ArgKind;

int32_t neg_errno() { return -static_cast<int32_t>(errno); }

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

bool is_dot_leaf(const std::string& leaf) { return leaf.empty() || leaf == "." || leaf == ".."; }

std::string basename_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

const std::vector<Syscalls::Row>& Syscalls::table() {
  static const std::vector<Row> rows = {
      {1, "write", {K::Int, K::BytesOut, K::UInt}, true, &Syscalls::sys_write},
      {2, "_exit", {K::Int, K::None, K::None}, false, &Syscalls::sys_exit},
      {3, "read", {K::Int, K::BytesIn, K::UInt}, true, &Syscalls::sys_read},
      {4, "open", {K::Path, K::Hex, K::Hex}, false, &Syscalls::sys_open},
      {5, "close", {K::Int, K::None, K::None}, false, &Syscalls::sys_close},
      {6, "getkey", {K::None, K::None, K::None}, false, &Syscalls::sys_getkey},
      {21, "writefile", {K::Path, K::BytesOut, K::UInt}, true, &Syscalls::sys_writefile},
      {22, "usleep", {K::UInt, K::None, K::None}, false, &Syscalls::sys_usleep},
      {49, "mkdir", {K::Path, K::None, K::None}, false, &Syscalls::sys_mkdir},
      {50, "unlink", {K::Path, K::None, K::None}, false, &Syscalls::sys_unlink},
      {51, "rmdir", {K::Path, K::None, K::None}, false, &Syscalls::sys_rmdir},
      {52, "getcwd", {K::Hex, K::UInt, K::None}, false, &Syscalls::sys_getcwd},
      {53, "tavikfs_stream_begin", {K::Path, K::None, K::None}, false, &Syscalls::sys_stream_begin},
      {54, "tavikfs_stream_write", {K::Int, K::BytesOut, K::UInt}, true, &Syscalls::sys_stream_write},
      {55, "tavikfs_stream_end", {K::Int, K::None, K::None}, false, &Syscalls::sys_stream_end},
      {95, "chdir", {K::Path, K::None, K::None}, false, &Syscalls::sys_chdir},
      {110, "lseek", {K::Int, K::Int, K::Int}, false, &Syscalls::sys_lseek},
      {124, "pipe", {K::Hex, K::None, K::None}, false, &Syscalls::sys_pipe},
      {125, "mkfifo", {K::Path, K::None, K::None}, false, &Syscalls::sys_mkfifo},
      {126, "dup", {K::Int, K::None, K::None}, false, &Syscalls::sys_dup},
      {127, "dup2", {K::Int, K::Int, K::None}, false, &Syscalls::sys_dup2},
      {128, "fd_set_inherit", {K::Int, K::None, K::None}, false, &Syscalls::sys_fd_set_inherit},
      {129, "fd_set_stdio", {K::Int, K::Int, K::Int}, false, &Syscalls::sys_fd_set_stdio},
      {130, "fd_set_nonblock", {K::Int, K::Int, K::None}, false, &Syscalls::sys_fd_set_nonblock},
      {131, "spawn", {K::Path, K::Hex, K::Int}, false, &Syscalls::sys_spawn},
      {132, "waitpid", {K::Int, K::Hex, K::Int}, false, &Syscalls::sys_waitpid},
  };
  return rows;
}

const Syscalls::Row* Syscalls::find(uint32_t nr) {
  for (const Row& r : table())
    if (r.nr == nr) return &r;
  return nullptr;
}

const Syscalls::Row* Syscalls::find(const std::string& name) {
  for (const Row& r : table())
    if (name == r.name) return &r;
  return nullptr;
}

std::optional<uint32_t> Syscalls::number_of(const std::string& name) {
  if (const Row* row = find(name)) return row->nr;
  const std::string prefix = "syscall_";
  if (name.rfind(prefix, 0) != 0) return std::nullopt;
  std::string digits = name.substr(prefix.size());
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (digits.empty() || digits.size() > 10 || !std::all_of(digits.begin(), digits.end(), is_digit))
    return std::nullopt;
  uint64_t nr = std::stoull(digits);
  // Only the spelling the trace itself uses names a call: no leading zeros, and no number the table names.
  if (nr > UINT32_MAX || std::to_string(nr) != digits || find(static_cast<uint32_t>(nr))) return std::nullopt;
  return static_cast<uint32_t>(nr);
}

Syscalls::Syscalls(Process& proc, Sandbox& sandbox, FdTable& fds, Trace& trace)
    : proc_(proc), sandbox_(sandbox), fds_(fds), trace_(trace) {
  const RunOptions& o = proc.options();
  record_data_ = o.trace || !o.trace_json.empty() || o.keep_trace;
  for (const Injection& inj : o.injects)
    if (std::optional<uint32_t> nr = number_of(inj.name)) injects_.push_back({*nr, inj.nth, inj.result});
}

Syscalls::~Syscalls() {
  // Streams never committed leave nothing behind: their temporary files go.
  for (auto& [handle, s] : streams_) {
    ::close(s.fd);
    ::unlinkat(s.dir_fd, s.temp.c_str(), 0);
    ::close(s.dir_fd);
  }
}

void Syscalls::dispatch() {
  GuestMemory& m = proc_.mem();
  uint32_t nr = m.reg(UC_X86_REG_EAX);
  std::array<uint32_t, 3> a{m.reg(UC_X86_REG_EBX), m.reg(UC_X86_REG_ECX), m.reg(UC_X86_REG_EDX)};
  const Row* row = find(nr);
  TraceEvent ev{nr, row ? row->name : strf("syscall_%u", nr), a, 0, {}, std::nullopt, false};
  Call call{a, ev};
  // Only calls an injection names are counted, so that a guest trying every call number grows nothing.
  uint64_t k = 0;
  for (const Injected& inj : injects_) {
    if (inj.nr != nr) continue;
    if (k == 0) k = ++call_counts_[nr];
    if (inj.nth == 0 || inj.nth == k) {
      ev.injected = true;
      ev.ret = inj.result;
    }
  }
  if (ev.injected) {
    std::string path;
    if (row && row->kinds[0] == ArgKind::Path) path_arg(call, path);
  } else {
    ev.ret = row ? (this->*row->fn)(call) : -38;
  }
  if (in_child_) return;  // a freshly forked child: its guest never sees this call return
  m.set_reg(UC_X86_REG_EAX, static_cast<uint32_t>(ev.ret));
  static const std::array<ArgKind, 3> unknown{K::Hex, K::Hex, K::Hex};
  trace_.call(ev, row ? row->kinds : unknown, row && row->has_data);
}

int32_t Syscalls::path_arg(Call& c, std::string& path) {
  int32_t r = proc_.mem().read_cstring(c.a[0], path, kMaxPath);
  if (r == 0) c.ev.path = path;
  return r;
}

// Copies guest bytes to a host descriptor in bounded chunks: the count written, or -errno / -14 when
// nothing could be written.
int32_t Syscalls::copy_to_host(int host_fd, uint32_t buf, uint32_t len, std::string* record) {
  GuestMemory& m = proc_.mem();
  std::vector<char> chunk(std::min(len, kChunk));
  uint32_t total = 0;
  while (total < len) {
    uint32_t want = std::min(kChunk, len - total);
    uint32_t avail = m.span(buf + total, want, UC_PROT_READ);
    if (avail == 0 || uint64_t(buf) + total + avail > 0x100000000ull) return total ? int32_t(total) : kEFAULT;
    m.read_bytes(buf + total, chunk.data(), avail);
    uint32_t done = 0;
    while (done < avail) {
      ssize_t n = ::write(host_fd, chunk.data() + done, avail - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (record) record->append(chunk.data(), done);
        total += done;
        return total ? int32_t(total) : (n < 0 ? neg_errno() : -5);
      }
      done += static_cast<uint32_t>(n);
    }
    if (record) record->append(chunk.data(), avail);
    total += avail;
    if (avail < want) break;
  }
  return static_cast<int32_t>(total);
}

int32_t Syscalls::make_temp(int dir_fd, const std::string& leaf, std::string& temp_name) {
  // A name the folder cannot hold is refused before any data is taken, not at the final rename.
  if (leaf.size() > 255) return -36;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_name = strf(".%s.tavik-%d-%u", leaf.c_str(), static_cast<int>(::getpid()), ++counter);
    if (temp_name.size() > 255) temp_name = strf(".tavik-%d-%u", static_cast<int>(::getpid()), counter);
    int fd = ::openat(dir_fd, temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd >= 0 ? fd : neg_errno();
  }
  return -17;
}

// Clips len to what the file size limit leaves from the current position of a regular file: 0, or -27 when
// nothing is left. Pipes, terminals and devices have no size to limit.
int32_t Syscalls::file_room(int host_fd, uint32_t& len) const {
  struct stat st;
  if (::fstat(host_fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  off_t pos = ::lseek(host_fd, 0, SEEK_CUR);
  if (pos < 0) return 0;
  uint64_t limit = proc_.options().file_size_limit;
  if (static_cast<uint64_t>(pos) >= limit) return kEFBIG;
  len = static_cast<uint32_t>(std::min<uint64_t>(len, limit - static_cast<uint64_t>(pos)));
  return 0;
}

int32_t Syscalls::sys_write(Call& c) {
  auto f = fds_.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -9;
  uint32_t len = std::min(c.a[2], kMaxCount);
  uint32_t limit = proc_.options().write_limit;
  if (limit != 0) len = std::min(len, limit);
  if (len == 0) return 0;
  if (f->owned)
    if (int32_t r = file_room(f->host_fd, len)) return r;
  if (would_block(*f, POLLOUT)) return -11;
  if (!proc_.wait_ready(f->host_fd, POLLOUT)) return -4;
  return copy_to_host(f->host_fd, c.a[1], len, record_data_ ? &c.ev.data : nullptr);
}

int32_t Syscalls::sys_exit(Call& c) {
  proc_.request_exit(static_cast<int32_t>(c.a[0]));
  return 0;
}

int32_t Syscalls::sys_read(Call& c) {
  auto f = fds_.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -9;
  uint32_t len = std::min(c.a[2], kMaxCount);
  if (len == 0) return 0;
  if (would_block(*f, POLLIN)) return -11;
  struct stat st;
  bool have_stat = ::fstat(f->host_fd, &st) == 0;
  bool regular = have_stat && S_ISREG(st.st_mode);
  // poll never calls a FIFO that has had no writer ready, yet reading it ends at once: under a time limit, a
  // FIFO the guest opened is asked without waiting first, and waited on only when a writer has sent nothing.
  bool ask_first = proc_.has_deadline() && f->owned && !f->nonblock && have_stat && S_ISFIFO(st.st_mode) &&
                   set_nonblocking(f->host_fd, true);
  if (!ask_first && !proc_.wait_ready(f->host_fd, POLLIN)) return -4;
  GuestMemory& m = proc_.mem();
  std::vector<char> chunk(std::min(len, kChunk));
  uint32_t total = 0;
  while (total < len) {
    uint32_t want = std::min(kChunk, len - total);
    // Only as much as the guest buffer can take is read, so that no byte is consumed and then lost.
    uint32_t room = m.span(c.a[1] + total, want, UC_PROT_WRITE);
    if (room == 0 || uint64_t(c.a[1]) + total + room > 0x100000000ull) return total ? int32_t(total) : kEFAULT;
    ssize_t n;
    do n = ::read(f->host_fd, chunk.data(), room);
    while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN && ask_first) {
      ask_first = false;
      set_nonblocking(f->host_fd, false);
      if (!proc_.wait_ready(f->host_fd, POLLIN)) return -4;
      continue;
    }
    if (ask_first) {
      ask_first = false;
      set_nonblocking(f->host_fd, false);
    }
    if (n < 0) return total ? int32_t(total) : neg_errno();
    if (n == 0) break;
    m.write_bytes(c.a[1] + total, chunk.data(), static_cast<uint32_t>(n));
    if (record_data_) c.ev.data.append(chunk.data(), static_cast<size_t>(n));
    total += static_cast<uint32_t>(n);
    // Pipes and terminals deliver what they have: asking again could wait for input nobody sends.
    if (!regular || static_cast<uint32_t>(n) < room) break;
  }
  return static_cast<int32_t>(total);
}

int32_t Syscalls::sys_open(Call& c) {
  std::string path;
  if (int32_t r = path_arg(c, path)) return r;
  uint32_t flags = c.a[1];
  if (flags & ~(kOpenWrite | kOpenReadWrite | kOpenCreate | kOpenTruncate)) return -22;
  if ((flags & 3) == 3) return -22;
  int host = (flags & kOpenReadWrite) ? O_RDWR : (flags & kOpenWrite) ? O_WRONLY : O_RDONLY;
  if (flags & kOpenCreate) host |= O_CREAT;
  if (flags & kOpenTruncate) host |= O_TRUNC;
  // The guest file system has no permission bits of its own: created files are readable and writable.
  int fd = sandbox_.open(path, host, 0666);
  if (fd < 0) return fd;
  int guest = fds_.add(std::make_shared<OpenFile>(fd, true));
  return guest;
}

int32_t Syscalls::sys_close(Call& c) { return fds_.close(static_cast<int32_t>(c.a[0])); }

int32_t Syscalls::sys_getkey(Call&) {
  auto f = fds_.get(0);
  if (!f) return -9;
  if (!proc_.wait_ready(f->host_fd, POLLIN)) return -4;
  unsigned char byte;
  ssize_t n;
  do n = ::read(f->host_fd, &byte, 1);
  while (n < 0 && errno == EINTR);
  if (n == 1) return byte;
  return n == 0 ? -1 : neg_errno();
}

int32_t Syscalls::sys_writefile(Call& c) {
  std::string path;
  if (int32_t r = path_arg(c, path)) return r;
  uint32_t len = std::min(c.a[2], kMaxCount);
  if (len > 0 && proc_.mem().span(c.a[1], 1, UC_PROT_READ) == 0) return kEFAULT;
  if (len > proc_.options().file_size_limit) return kEFBIG;  // refused whole: the old file stays
  std::string leaf;
  int dir = sandbox_.open_parent(path, leaf);
  if (dir < 0) return dir;
  FdCloser dir_closer{dir};
  if (is_dot_leaf(leaf)) return -21;
  std::string temp;
  int fd = make_temp(dir, leaf, temp);
  if (fd < 0) return fd;
  int32_t wrote = len ? copy_to_host(fd, c.a[1], len, record_data_ ? &c.ev.data : nullptr) : 0;
  int32_t result = wrote;
  if (wrote >= 0 && static_cast<uint32_t>(wrote) != len) result = kEFAULT;  // the data ended in unmapped memory
  if (result >= 0 && ::fsync(fd) != 0) result = neg_errno();
  if (::close(fd) != 0 && result >= 0) result = neg_errno();
  if (result >= 0 && ::renameat(dir, temp.c_str(), dir, leaf.c_str()) != 0) result = neg_errno();
  if (result < 0) {
    ::unlinkat(dir, temp.c_str(), 0);
    return result;
  }
  return 0;
}

int32_t Syscalls::sys_usleep(Call& c) {
  proc_.sleep_us(c.a[0]);
  return 0;
}

int32_t Syscalls::sys_mkdir(Call& c) {
  std::string path, leaf;
  if (int32_t r = path_arg(c, path)) return r;
  int dir = sandbox_.open_parent(path, leaf);
  if (dir < 0) return dir;
  FdCloser closer{dir};
  if (is_dot_leaf(leaf)) return -17;
  return ::mkdirat(dir, leaf.c_str(), 0777) == 0 ? 0 : neg_errno();
}

int32_t Syscalls::sys_unlink(Call& c) {
  std::string path, leaf;
  if (int32_t r = path_arg(c, path)) return r;
  int dir = sandbox_.open_parent(path, leaf);
  if (dir < 0) return dir;
  FdCloser closer{dir};
  if (is_dot_leaf(leaf)) return -21;
  return ::unlinkat(dir, leaf.c_str(), 0) == 0 ? 0 : neg_errno();
}

int32_t Syscalls::sys_rmdir(Call& c) {
  std::string path, leaf;
  if (int32_t r = path_arg(c, path)) return r;
  int dir = sandbox_.open_parent(path, leaf);
  if (dir < 0) return dir;
  FdCloser closer{dir};
  if (leaf.empty()) return -16;
  if (leaf == ".") return -22;
  if (leaf == "..") return -39;
  return ::unlinkat(dir, leaf.c_str(), AT_REMOVEDIR) == 0 ? 0 : neg_errno();
}

int32_t Syscalls::sys_getcwd(Call& c) {
  const std::string& cwd = sandbox_.cwd();
  uint32_t size = std::min(c.a[1], kMaxCount);
  if (cwd.size() + 1 > size) return -34;
  if (int32_t r = proc_.mem().write_bytes(c.a[0], cwd.c_str(), static_cast<uint32_t>(cwd.size() + 1))) return r;
  return static_cast<int32_t>(cwd.size());
}

int32_t Syscalls::sys_stream_begin(Call& c) {
  std::string path, leaf;
  if (int32_t r = path_arg(c, path)) return r;
  if (streams_.size() >= kMaxStreams) return -24;
  int dir = sandbox_.open_parent(path, leaf);
  if (dir < 0) return dir;
  if (is_dot_leaf(leaf)) {
    ::close(dir);
    return -21;
  }
  std::string temp;
  int fd = make_temp(dir, leaf, temp);
  if (fd < 0) {
    ::close(dir);
    return fd;
  }
  int32_t handle = 1;
  while (streams_.count(handle)) ++handle;
  streams_[handle] = Stream{dir, fd, temp, leaf};
  return handle;
}

int32_t Syscalls::sys_stream_write(Call& c) {
  auto it = streams_.find(static_cast<int32_t>(c.a[0]));
  if (it == streams_.end()) return -9;
  uint32_t len = std::min(c.a[2], kMaxCount);
  if (len == 0) return 0;
  uint64_t limit = proc_.options().file_size_limit;
  if (it->second.size >= limit) return kEFBIG;
  len = static_cast<uint32_t>(std::min<uint64_t>(len, limit - it->second.size));
  int32_t wrote = copy_to_host(it->second.fd, c.a[1], len, record_data_ ? &c.ev.data : nullptr);
  if (wrote > 0) it->second.size += static_cast<uint32_t>(wrote);
  return wrote;
}

int32_t Syscalls::sys_stream_end(Call& c) {
  auto it = streams_.find(static_cast<int32_t>(c.a[0]));
  if (it == streams_.end()) return -9;
  Stream s = it->second;
  streams_.erase(it);
  int32_t result = 0;
  if (::fsync(s.fd) != 0) result = neg_errno();
  if (::close(s.fd) != 0 && result == 0) result = neg_errno();
  if (result == 0 && ::renameat(s.dir_fd, s.temp.c_str(), s.dir_fd, s.leaf.c_str()) != 0) result = neg_errno();
  if (result < 0) ::unlinkat(s.dir_fd, s.temp.c_str(), 0);
  ::close(s.dir_fd);
  return result;
}

int32_t Syscalls::sys_chdir(Call& c) {
  std::string path;
  if (int32_t r = path_arg(c, path)) return r;
  return sandbox_.chdir(path);
}

int32_t Syscalls::sys_lseek(Call& c) {
  auto f = fds_.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -9;
  uint32_t whence = c.a[2];
  if (whence > 2) return -22;
  static const int host_whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  off_t now = ::lseek(f->host_fd, 0, SEEK_CUR);
  off_t pos = ::lseek(f->host_fd, static_cast<int32_t>(c.a[1]), host_whence[whence]);
  if (pos < 0) return neg_errno();
  if (pos > 0x7fffffff) {
    // The guest could not name this position: stay where it was.
    if (now >= 0) ::lseek(f->host_fd, now, SEEK_SET);
    return -75;
  }
  return static_cast<int32_t>(pos);
}

int32_t Syscalls::sys_pipe(Call& c) {
  if (proc_.mem().span(c.a[0], 8, UC_PROT_WRITE) != 8) return kEFAULT;
  int host[2];
  if (::pipe2(host, O_CLOEXEC) != 0) return neg_errno();
  auto rd = std::make_shared<OpenFile>(host[0], true);
  auto wr = std::make_shared<OpenFile>(host[1], true);
  int32_t ends[2];
  ends[0] = fds_.add(rd);
  if (ends[0] < 0) return ends[0];
  ends[1] = fds_.add(wr);
  if (ends[1] < 0) {
    fds_.close(ends[0]);
    return ends[1];
  }
  proc_.mem().write_bytes(c.a[0], ends, sizeof ends);
  return 0;
}

int32_t Syscalls::sys_mkfifo(Call& c) {
  std::string path, leaf;
  if (int32_t r = path_arg(c, path)) return r;
  int dir = sandbox_.open_parent(path, leaf);
  if (dir < 0) return dir;
  FdCloser closer{dir};
  if (is_dot_leaf(leaf)) return -17;
  return ::mkfifoat(dir, leaf.c_str(), 0666) == 0 ? 0 : neg_errno();
}

int32_t Syscalls::sys_dup(Call& c) {
  auto f = fds_.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -9;
  return fds_.add(f, 0);
}

int32_t Syscalls::sys_dup2(Call& c) {
  auto f = fds_.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -9;
  int32_t to = static_cast<int32_t>(c.a[1]);
  if (to == static_cast<int32_t>(c.a[0])) return to;
  return fds_.put(to, f);
}

int32_t Syscalls::sys_fd_set_inherit(Call& c) {
  inherit_ = c.a[0] != 0;
  return 0;
}

int32_t Syscalls::sys_fd_set_stdio(Call& c) {
  for (int i = 0; i < 3; ++i) {
    int32_t fd = static_cast<int32_t>(c.a[i]);
    if (fd != -1 && !fds_.get(fd)) return -9;
  }
  for (int i = 0; i < 3; ++i) child_stdio_[i] = static_cast<int32_t>(c.a[i]);
  return 0;
}

int32_t Syscalls::sys_fd_set_nonblock(Call& c) {
  auto f = fds_.get(static_cast<int32_t>(c.a[0]));
  if (!f) return -9;
  f->nonblock = c.a[1] != 0;
  return 0;
}

int32_t Syscalls::sys_spawn(Call& c) {
  GuestMemory& m = proc_.mem();
  std::string path;
  if (int32_t r = path_arg(c, path)) return r;
  int32_t argc = static_cast<int32_t>(c.a[2]);
  if (argc < 0) return -22;
  if (argc > kMaxSpawnArgs) return -7;
  std::vector<std::string> argv;
  size_t bytes = 0;
  for (int32_t i = 0; i < argc; ++i) {
    uint32_t ptr;
    if (m.read_bytes(c.a[1] + 4 * static_cast<uint32_t>(i), &ptr, 4) != 0) return kEFAULT;
    std::string arg;
    int32_t r = m.read_cstring(ptr, arg, kMaxSpawnBytes);
    if (r == -36) return -7;
    if (r != 0) return r;
    bytes += arg.size() + 1;
    if (bytes > kMaxSpawnBytes) return -7;
    argv.push_back(std::move(arg));
  }
  int fd = sandbox_.open(path, O_RDONLY);
  if (fd < 0) return fd;
  FdCloser closer{fd};
  // Unreaped children count too: a guest that never waits would otherwise pile up host processes.
  if (children_.size() >= proc_.options().process_limit) return -11;
  struct stat st;
  if (::fstat(fd, &st) != 0) return neg_errno();
  if (!S_ISREG(st.st_mode)) return -13;
  std::optional<ElfImage> image;
  try {
    image = ElfImage::load_fd(fd, path, proc_.options().memory_cap);
  } catch (const LoadError&) {
    return -8;
  }
  ProcessTree* tree = ProcessTree::current();
  if (tree && !tree->enter(proc_.options().process_limit)) return -11;
  trace_.flush();
  pid_t pid = ::fork();
  if (pid < 0) {
    int32_t err = neg_errno();
    if (tree) tree->leave();
    return err;
  }
  if (pid > 0) {
    children_.insert(pid);
    return pid;
  }
  // The child: its own descriptors, then the run loop starts the new image in place of this one.
  std::array<std::shared_ptr<OpenFile>, 3> stdio;
  for (int i = 0; i < 3; ++i) stdio[i] = fds_.get(child_stdio_[i] >= 0 ? child_stdio_[i] : i);
  if (!inherit_) fds_.drop_above_stdio();
  for (int i = 0; i < 3; ++i) {
    if (stdio[i]) fds_.put(i, stdio[i]);
    else fds_.close(i);
  }
  for (auto& [handle, s] : streams_) {
    ::close(s.fd);
    ::close(s.dir_fd);
  }
  streams_.clear();
  children_.clear();
  inherit_ = true;
  child_stdio_ = {-1, -1, -1};
  in_child_ = true;
  std::string name = basename_of(argv.empty() ? path : argv[0]);
  proc_.become_child(ChildStart{std::move(*image), std::move(argv), name});
  return 0;
}

int32_t Syscalls::sys_waitpid(Call& c) {
  int32_t pid = static_cast<int32_t>(c.a[0]);
  uint32_t options = c.a[2];
  if (options & ~1u) return -22;
  if (c.a[1] != 0 && proc_.mem().span(c.a[1], 4, UC_PROT_WRITE) != 4) return kEFAULT;
  if (pid == -1 ? children_.empty() : (pid <= 0 || !children_.count(pid))) return -10;
  int st = 0;
  pid_t r;
  bool poll_child = (options & 1) || proc_.has_deadline();
  for (;;) {
    r = ::waitpid(pid, &st, poll_child ? WNOHANG : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r != 0 || (options & 1)) break;
    // Under a time limit the wait polls, so that the limit can still stop this process.
    if (proc_.past_deadline()) {
      proc_.stop_at_deadline();
      return -4;
    }
    proc_.sleep_us(2000);
  }
  if (r == 0) return 0;
  if (r < 0) return neg_errno();
  children_.erase(r);
  // POSIX layout: exit status in bits 8..15, or the number of the signal that ended a faulted child.
  uint32_t word = WIFEXITED(st) ? static_cast<uint32_t>(WEXITSTATUS(st)) << 8
                                : WIFSIGNALED(st) ? static_cast<uint32_t>(WTERMSIG(st)) : 0;
  if (c.a[1] != 0) proc_.mem().write_bytes(c.a[1], &word, 4);
  return r;
}

}  // namespace tavik
