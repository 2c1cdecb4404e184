// GdbStub: serves the remote debugging protocol for one guest from inside the emulator's hooks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <unicorn/unicorn.h>

#include "gdb/gdb_connection.hpp"
#include "cpu/machine.hpp"

namespace tavik {

// The stub. It owns no emulation: the process runs the guest, and the stub's hooks stop it by blocking inside
// the hook while gdb looks at the machine. Hooks are installed only when a debugger is asked for.
class GdbStub {
 public:
  GdbStub(Machine& mem, int port);
  ~GdbStub();
  // Accepts the debugger's connection (loopback only) and arranges to stop at the entry point; false when a
  // termination signal ended the wait.
  bool attach(uint32_t entry);
  // The guest could not fetch the instruction at addr. When the debugger put a breakpoint there (the return
  // address of a function gdb calls lies on the stack), that is its stop: reported, served, and true when the
  // guest goes on (from wherever the debugger set eip).
  bool stop_at_unfetchable(uint32_t addr);
  // A checker found an error at the instruction the machine is at: a stop with this signal, served until the
  // debugger resumes (the instruction then goes on).
  void stop_here(int signal);
  // The guest faulted at eip with this signal: report it and serve until the debugger lets it end.
  void report_fault(int signal);
  // The guest ended with this status.
  void report_exit(int status);
  // True when the debugger killed the guest (the run ends as killed).
  bool killed() const { return killed_; }

  static std::string target_xml();
  // gdb's register numbers: 16 core registers, 8 x87 registers of 10 bytes, then 8 x87 control registers.
  static constexpr int kNumCore = 16;
  static constexpr int kNumRegs = 16 + 8 + 8;

 private:
  enum class Resume { Continue, Step, Kill, Detach };
  Resume serve(const std::string& stop_reply);
  std::string handle(const std::string& p, bool& resume, Resume& how);
  std::string read_registers();
  bool write_register(int n, const std::string& hex);
  bool write_core(int id, uint32_t v);
  std::string read_memory(const std::string& args);
  std::string write_memory(const std::string& args);
  std::string breakpoint(const std::string& args, bool insert);
  std::string stop_reply(int signal) const;
  void apply(Resume how);

  static void on_code(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static void on_step(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static bool on_write(uc_engine* uc, uc_mem_type type, uint64_t addr, int size, int64_t value, void* self);

  Machine& mem_;
  int listen_fd_ = -1;
  std::unique_ptr<GdbConnection> conn_;
  uint32_t entry_ = 0;
  bool stop_at_entry_ = false;
  std::set<uint32_t> breakpoints_;
  std::map<uint32_t, uint32_t> watches_;  // start, length
  bool stepping_ = false;
  bool pending_watch_ = false;
  uint32_t watch_addr_ = 0;
  bool killed_ = false;
  uint32_t polls_ = 0;
  bool resumed_ = false;       // the debugger is waiting for a stop reply
  std::string last_reply_ = "S05";
  bool detached_ = false;
  // The emulation restarts at an instruction the debugger already stopped before: its hook passes once.
  bool resume_pending_ = false;
  uint32_t resume_at_ = 0;
};

}  // namespace tavik
