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
class Timeline;

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
  // The guest faulted at eip with this signal (executed: the faulting instruction had begun, not an instruction
  // fetch): report it and serve until the debugger lets it end, or goes back in time: true then, the machine is
  // restored and the emulation goes on from its eip.
  bool report_fault(int signal, bool executed);
  // The process can go back in time: gdb's reverse-step and reverse-continue are served over this timeline.
  void enable_reverse(Timeline* timeline) { timeline_ = timeline; }
  // The guest ended with this status.
  void report_exit(int status);
  // True when the debugger killed the guest (the run ends as killed).
  bool killed() const { return killed_; }

  static std::string target_xml();
  // gdb's register numbers: 16 core registers, 8 x87 registers of 10 bytes, then 8 x87 control registers.
  static constexpr int kNumCore = 16;
  static constexpr int kNumRegs = 16 + 8 + 8;

 private:
  enum class Resume { Continue, Step, Kill, Detach, ReverseStep, ReverseContinue };
  // Going back in time: running forward from a checkpoint, silently, to a position (Seek), or over a stretch to
  // find the last stop in it (Scan).
  enum class Travel { None, Seek, Scan };
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
  void stop(uint64_t position, const std::string& reply);
  bool go_back(Resume how);
  void travelling(uint64_t position, uint32_t addr);
  void seek(uint64_t position, const std::string& reply);

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
  // Positions count the instructions the guest began; the debugger stopped at current_.
  Timeline* timeline_ = nullptr;
  uint64_t pos_ = 0;
  uint64_t current_ = 0;
  Travel travel_ = Travel::None;
  uint64_t target_ = 0;            // Seek: stop there; Scan: look before it
  uint64_t scan_from_ = 0;         // Scan: the checkpoint it started from
  bool hit_found_ = false;         // Scan: the last stop found so far, and its reply
  uint64_t hit_ = 0;
  std::string hit_reply_, travel_reply_;
  bool state_written_ = false;     // the debugger changed registers or memory: the past leads elsewhere
};

}  // namespace tavik
