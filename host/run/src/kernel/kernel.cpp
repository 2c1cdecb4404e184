// Kernel: the handlers' shared state, and the helpers every family of calls uses.
#include "kernel/kernel.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "cpu/machine.hpp"
#include "kernel/sandbox.hpp"
#include "report/trace.hpp"

namespace tavik {

Kernel::Kernel(Machine& m, ProcessEnd& end, Deadline& deadline, Sandbox& fs, FdTable& fds, SharedCounters& tree,
               Trace& trace, const LimitOptions& limits)
    : m(m), end(end), deadline(deadline), fs(fs), fds(fds), tree(tree), trace(trace), limits(limits) {}

void Call::show_path(const std::string& path) { ev_.path = path; }

void Call::show_argv(const std::vector<std::string>& argv) {
  if (shows_data_) ev_.argv = argv;
}

void Call::show(const char* data, size_t n) {
  if (!shows_data_ || ev_.data.size() >= kTraceDataCap) return;
  ev_.data.append(data, std::min(n, kTraceDataCap - ev_.data.size()));
}

Kernel::~Kernel() {
  for (auto& [handle, s] : streams) {
    ::close(s.fd);
    ::unlinkat(s.dir_fd, s.temp.c_str(), 0);
    ::close(s.dir_fd);
  }
}

int32_t Kernel::path_arg(Call& c, std::string& path) {
  int32_t r = m.read_cstring(c.a[0], path, kMaxPath);
  if (r == 0) c.show_path(path);
  return r;
}

ParentDir Kernel::parent_arg(Call& c, bool file) {
  std::string path, leaf;
  if (int32_t r = path_arg(c, path)) return ParentDir(r, "");
  int fd = fs.open_parent(path, leaf, file);
  return ParentDir(fd, std::move(leaf));
}

ParentDir::~ParentDir() {
  if (fd >= 0) ::close(fd);
}


FdCloser::~FdCloser() {
  if (fd >= 0) ::close(fd);
}

}  // namespace tavik
