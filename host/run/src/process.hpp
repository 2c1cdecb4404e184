// Process: one guest program in its own emulator: address space, ring-3 start, the run loop, limits, the end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "elf_image.hpp"
#include "guest_memory.hpp"
#include "tavik/run.hpp"

namespace tavik {

class FdTable;
class Sandbox;
class Trace;
class Syscalls;
class GdbStub;

// What a spawned child needs to start, handed from the spawn call to the run loop of the forked host process.
struct ChildStart {
  ElfImage image;
  std::vector<std::string> argv;
  std::string name;
};

class Process {
 public:
  Process(const ElfImage& image, std::vector<std::string> argv, std::string name, const RunOptions& opt,
          Sandbox& sandbox, FdTable& fds, Trace& trace);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Runs to the end; the fault report goes to the guest's stderr descriptor.
  RunResult run();

  GuestMemory& mem() { return mem_; }
  const RunOptions& options() const { return opt_; }
  const std::string& name() const { return name_; }
  // Called by the dispatcher: end the process with this status at the next opportunity.
  void request_exit(int32_t status);
  // Called in a freshly forked host process: stop this emulation; the run loop then starts the child.
  void become_child(ChildStart start);
  // Sleeps for us microseconds of wall time, but no longer than the time limit leaves.
  void sleep_us(uint64_t us);
  // Waits until the host descriptor is ready (poll events) or the time limit passes: false when it passed,
  // so that a call waiting for input cannot outlive --timeout.
  bool wait_ready(int host_fd, short events);
  bool has_deadline() const { return opt_.timeout > 0; }
  bool past_deadline() const { return has_deadline() && std::chrono::steady_clock::now() >= deadline_; }
  void stop_at_deadline();  // the time limit is reached inside a call: end the run as timed out

 private:
  void build_address_space();
  void enter_ring3(uint32_t esp);
  void install_hooks();
  // The block hook counts instructions; it is in place only when they are counted or limited.
  bool counts_blocks() const { return opt_.count_insns || opt_.insn_limit != 0; }
  // The time limit: a watchdog thread stops the emulation, unless the block hook can watch the clock.
  void start_watchdog();
  void stop_watchdog();
  [[noreturn]] void run_child();
  void fault(const std::string& kind, uint32_t eip, uint32_t addr = 0, const std::string& access = "");

  // Nothing may unwind through the emulator: a host failure inside a hook ends the run as the kit's own.
  template <class F>
  void guarded(F&& body) {
    try {
      body();
    } catch (const std::exception& e) {
      host_error_ = e.what();
      state_ = State::Killed;
      mem_.stop();
    }
  }

  static void on_interrupt(uc_engine* uc, uint32_t intno, void* self);
  static bool on_bad_access(uc_engine* uc, uc_mem_type type, uint64_t addr, int size, int64_t value, void* self);
  static void on_block(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  static uint32_t on_in(uc_engine* uc, uint32_t port, int size, void* self);
  static void on_out(uc_engine* uc, uint32_t port, int size, uint32_t value, void* self);
  static void on_sysenter(uc_engine* uc, void* self);
  static void on_syscall_insn(uc_engine* uc, void* self);
  uint32_t fast_call_site(uint8_t second);
  static int on_rdtsc(uc_engine* uc, void* self);
  static int on_rdtscp(uc_engine* uc, void* self);

  const ElfImage& image_;
  std::vector<std::string> argv_;
  std::string name_;
  const RunOptions& opt_;
  Sandbox& sandbox_;
  FdTable& fds_;
  Trace& trace_;
  GuestMemory mem_;
  std::unique_ptr<Syscalls> syscalls_;
  std::unique_ptr<GdbStub> gdb_;  // only with --gdb

  enum class State { Running, Exited, Faulted, Killed, Child } state_ = State::Running;
  int32_t status_ = 0;
  FaultInfo fault_;
  std::string killed_;
  std::string host_error_;
  std::optional<ChildStart> child_;

  // Bad accesses seen by the memory hook, for the error that ends the emulation.
  bool bad_access_ = false;
  uc_mem_type bad_type_{};
  uint32_t bad_addr_ = 0;

  // Instruction counting: the emulator's own per-block counts, cached per block address.
  std::unordered_map<uint64_t, uint32_t> block_insns_;
  uint64_t executed_ = 0;
  uint64_t last_block_ = 0;
  uint32_t last_block_insns_ = 0;
  uint32_t blocks_since_clock_ = 0;
  uint64_t tsc_next_ = 0;

  std::chrono::steady_clock::time_point deadline_{};
  std::thread watchdog_;
  std::mutex watchdog_mutex_;
  std::condition_variable watchdog_cv_;
  bool watchdog_done_ = false;
  std::atomic<bool> timed_out_{false};
};

}  // namespace tavik
