// GdbStub: serves the remote debugging protocol for one guest from inside the emulator's hooks.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <unicorn/unicorn.h>

#include "guest_memory.hpp"

namespace tavik {

// Frames packets on a connected socket: checksums, acknowledgements, and resynchronisation on garbage.
class GdbConnection {
 public:
  explicit GdbConnection(int fd) : fd_(fd) {}
  ~GdbConnection();
  GdbConnection(const GdbConnection&) = delete;
  GdbConnection& operator=(const GdbConnection&) = delete;
  // The next well-formed packet's payload; false when the peer went away.
  bool receive(std::string& payload);
  void send(const std::string& payload);
  // Waits at most ms for the interrupt byte (0x03) between packets.
  bool interrupted();
  static constexpr size_t kMaxPacket = 16384;

 private:
  int get();
  int fd_;
};

// The stub. It owns no emulation: the process runs the guest, and the stub's hooks stop it by blocking inside
// the hook while gdb looks at the machine. Hooks are installed only when a debugger is asked for.
class GdbStub {
 public:
  GdbStub(GuestMemory& mem, int port);
  ~GdbStub();
  // Accepts the debugger's connection (loopback only) and arranges to stop at the entry point when asked.
  void attach(uint32_t entry, bool wait);
  // The guest faulted at eip with this signal: report it and serve until the debugger lets it end.
  void report_fault(int signal);
  // The guest ended with this status.
  void report_exit(int status);
  // True when the debugger killed the guest (the run ends as killed).
  bool killed() const { return killed_; }

  static std::string target_xml();
  static int hex_digit(char c);

 private:
  enum class Resume { Continue, Step, Kill, Detach };
  Resume serve(const std::string& stop_reply);
  std::string handle(const std::string& p, bool& resume, Resume& how);
  std::string read_registers();
  bool write_register(int n, const std::string& hex);
  std::string read_memory(const std::string& args);
  std::string write_memory(const std::string& args);
  std::string breakpoint(const std::string& args, bool insert);
  std::string stop_reply(int signal) const;
  void set_stepping(bool on);
  void apply(Resume how);

  static void on_code(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_step(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static bool on_write(uc_engine* uc, uc_mem_type type, uint64_t addr, int size, int64_t value, void* self);

  GuestMemory& mem_;
  int listen_fd_ = -1;
  GdbConnection* conn_ = nullptr;
  uint32_t entry_ = 0;
  bool stop_at_entry_ = false;
  std::map<uint32_t, uc_hook> breakpoints_;
  struct Watch {
    uint32_t len;
    uc_hook hook;
  };
  std::map<uint32_t, Watch> watches_;
  uc_hook step_hook_ = 0;
  bool stepping_ = false;
  bool pending_watch_ = false;
  uint32_t watch_addr_ = 0;
  bool killed_ = false;
  uint32_t polls_ = 0;
  bool resumed_ = false;       // the debugger is waiting for a stop reply
  std::string last_reply_ = "S05";
  bool detached_ = false;
  uint64_t skip_break_at_ = UINT64_MAX;
};

}  // namespace tavik
