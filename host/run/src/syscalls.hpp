// Syscalls: the kernel side of int 0x80. One table row per call holds its number, name, argument kinds and
// handler, so dispatch, text trace and JSON trace cannot drift apart; the dispatcher alone writes eax.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "trace.hpp"

namespace tavik {

class Process;
class Sandbox;
class FdTable;
struct OpenFile;
struct TraceEvent;

class Syscalls {
 public:
  struct Call {
    std::array<uint32_t, 3> a;  // ebx, ecx, edx
    TraceEvent& ev;
  };
  using Handler = int32_t (Syscalls::*)(Call&);
  struct Row {
    uint32_t nr;
    const char* name;
    std::array<ArgKind, 3> kinds;
    bool has_data;  // the call moves bytes that the trace shows ("hex")
    Handler fn;
  };

  Syscalls(Process& proc, Sandbox& sandbox, FdTable& fds, Trace& trace);
  ~Syscalls();

  // Handles the call in eax with ebx, ecx, edx and stores the result in eax.
  void dispatch();

  static const Row* find(uint32_t nr);
  static const Row* find(const std::string& name);
  // The call number a trace names NAME by ("write", or "syscall_N" for a number the table lacks).
  static std::optional<uint32_t> number_of(const std::string& name);

 private:
  int32_t sys_write(Call&);
  int32_t sys_exit(Call&);
  int32_t sys_read(Call&);
  int32_t sys_open(Call&);
  int32_t sys_close(Call&);
  int32_t sys_getkey(Call&);
  int32_t sys_writefile(Call&);
  int32_t sys_usleep(Call&);
  int32_t sys_mkdir(Call&);
  int32_t sys_unlink(Call&);
  int32_t sys_rmdir(Call&);
  int32_t sys_getcwd(Call&);
  int32_t sys_stream_begin(Call&);
  int32_t sys_stream_write(Call&);
  int32_t sys_stream_end(Call&);
  int32_t sys_chdir(Call&);
  int32_t sys_lseek(Call&);
  int32_t sys_pipe(Call&);
  int32_t sys_mkfifo(Call&);
  int32_t sys_dup(Call&);
  int32_t sys_dup2(Call&);
  int32_t sys_fd_set_inherit(Call&);
  int32_t sys_fd_set_stdio(Call&);
  int32_t sys_fd_set_nonblock(Call&);
  int32_t sys_spawn(Call&);
  int32_t sys_waitpid(Call&);

  static const std::vector<Row>& table();

  int32_t path_arg(Call& c, std::string& path);
  int32_t copy_to_host(int host_fd, uint32_t buf, uint32_t len, std::string* record);
  int32_t make_temp(int dir_fd, const std::string& leaf, std::string& temp_name);
  int32_t file_room(int host_fd, uint32_t& len) const;

  Process& proc_;
  Sandbox& sandbox_;
  FdTable& fds_;
  Trace& trace_;
  bool record_data_;
  // The options' injections by call number, resolved once: a call costs a few integer compares, not a
  // name compare per injection.
  struct Injected {
    uint32_t nr;
    uint64_t nth;
    int32_t result;
  };
  std::vector<Injected> injects_;
  std::map<uint32_t, uint64_t> call_counts_;

  // A streamed whole-file write: the temporary file in the target folder until the commit renames it.
  struct Stream {
    int dir_fd;
    int fd;
    std::string temp, leaf;
    uint64_t size = 0;  // bytes written so far, held to the file size limit
  };
  std::map<int32_t, Stream> streams_;

  bool inherit_ = true;
  std::array<int32_t, 3> child_stdio_{-1, -1, -1};
  std::set<int> children_;
  bool in_child_ = false;
};

}  // namespace tavik
