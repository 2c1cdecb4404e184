// Kernel: what the system-call handlers of one process work on. The handlers reach guest memory only through the
// machine's checked copies and the host only through the sandbox and the descriptor table.
#pragma once

#include <tavik/abi.h>

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tavik/run.hpp"

namespace tavik {

class Deadline;
class FdTable;
class Machine;
class ProcessEnd;
class SharedCounters;
class Sandbox;
class Trace;

// One call in progress: its argument registers, and what the handler shows the trace of it (the path it named,
// the bytes it moved), through show_path and show; whether the trace keeps bytes is the trace's decision, made
// once.
class Call {
 public:
  Call(std::array<uint32_t, 3> args, TraceEvent& ev, bool shows_data) : a(args), ev_(ev), shows_data_(shows_data) {}
  const std::array<uint32_t, 3> a;  // ebx, ecx, edx

  void show_path(const std::string& path);
  void show_argv(const std::vector<std::string>& argv);
  // Bytes the call moved, appended up to the trace's cap (kTraceDataCap); nothing when no trace shows bytes.
  void show(const char* data, size_t n);

 private:
  TraceEvent& ev_;
  bool shows_data_;
};

// A streamed whole-file write: the temporary file in the target folder until the end renames it.
struct FileStream {
  int dir_fd;
  int fd;
  std::string temp, leaf;
  uint64_t size = 0;  // bytes written so far, held to the file size limit
};

// What a spawn hands the child, and the children not yet waited for.
struct SpawnState {
  bool inherit = true;                     // fd_set_inherit: children get copies of every descriptor
  std::array<int32_t, 3> stdio{-1, -1, -1};  // fd_set_stdio: the child's 0, 1, 2 (-1: the parent's own)
  std::map<int, int> children;             // host pid -> its pidfd, until reaped
  bool in_child = false;                   // this host process was just forked: its guest never sees the call return
  uint32_t child_serial = 0;               // --record: the serial the next spawned child records under
  bool keep_image = false;                 // --record: the child keeps its image file's bytes for its start record
};

// A folder as an O_PATH descriptor, closed when this goes, and the last component of a path in it ("" for "/",
// or "." or "..").
struct ParentDir {
  ParentDir(int fd, std::string leaf) : fd(fd), leaf(std::move(leaf)) {}
  ~ParentDir();
  ParentDir(const ParentDir&) = delete;
  ParentDir& operator=(const ParentDir&) = delete;
  int fd;
  std::string leaf;
};

struct Kernel {
  Kernel(Machine& m, ProcessEnd& end, Deadline& deadline, Sandbox& fs, FdTable& fds, SharedCounters& tree,
         Trace& trace, const LimitOptions& limits);
  ~Kernel();  // streams never ended leave nothing behind
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  Machine& m;
  ProcessEnd& end;
  Deadline& deadline;
  Sandbox& fs;
  FdTable& fds;
  SharedCounters& tree;
  Trace& trace;
  const LimitOptions& limits;
  std::map<int32_t, FileStream> streams;
  SpawnState spawn;

  // The path in ebx, into path and the trace event: 0, -14 or -36.
  int32_t path_arg(Call& c, std::string& path);
  // The folder holding the last component of the path in ebx (fd < 0: a negated error number); `file`: as
  // Sandbox::open_parent.
  ParentDir parent_arg(Call& c, bool file = false);
};

constexpr int32_t kMaxCount = 0x7fffffff;
constexpr uint32_t kMaxPath = 4096;

// "" (the root), "." and "..": last components that name no entry a call may create or remove.
inline bool is_dot_leaf(const std::string& leaf) { return leaf.empty() || leaf == "." || leaf == ".."; }

// Closes a host descriptor when it goes out of scope.
struct FdCloser {
  int fd;
  ~FdCloser();
};

}  // namespace tavik
