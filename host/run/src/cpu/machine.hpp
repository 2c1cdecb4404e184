// Machine: the guest's CPU and memory in the emulator: the engine, the memory map, the registers, stopping.
// Every copy between host and guest is checked.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <tavik/abi.h>
#include <unicorn/unicorn.h>

namespace tavik {

constexpr int32_t kEFAULT = -TAVIK_EFAULT;

class Machine {
 public:
  Machine();
  ~Machine();
  // Gives the emulator back (a forked child that starts an image of its own); nothing may use it afterwards.
  void close();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Runs the guest from addr until something stops it: the engine's result.
  uc_err run_from(uint32_t addr);

  // Maps [addr, addr+size) (page multiples) with UC_PROT_* perms, in one emulator call.
  void map(uint32_t addr, uint32_t size, uint32_t perms);
  // Loader-side store that ignores page permissions (filling read-only segments).
  void poke(uint32_t addr, const void* data, size_t len);

  // Guest-side copies on behalf of a system call: 0, or kEFAULT when any byte is unmapped or lacks the
  // permission (read for read_bytes, write for write_bytes). A failed write_bytes changes nothing.
  int32_t read_bytes(uint32_t addr, void* out, uint32_t len) const;
  int32_t write_bytes(uint32_t addr, const void* in, uint32_t len);
  // Told of every write_bytes (the pages a checkpoint must look at), until given nullptr.
  void watch_writes(std::function<void(uint32_t addr, uint32_t len)> fn) { write_watch_ = std::move(fn); }
  // Where write_bytes also puts what it stores (a call kept for a replay), until given nullptr.
  void log_stores(std::vector<std::pair<uint32_t, std::string>>* log) { store_log_ = log; }
  // A NUL-terminated string of at most max bytes before the NUL: 0, kEFAULT, or -36 when longer.
  int32_t read_cstring(uint32_t addr, std::string& out, uint32_t max = 4096) const;
  // How many bytes from addr on (at most max) are contiguous guest memory with these permissions.
  uint32_t span(uint32_t addr, uint32_t max, uint32_t perms) const;
  // Reads mapped memory whatever its permissions (instruction bytes of execute-only code): true when read.
  bool peek(uint32_t addr, void* out, uint32_t len) const;

  // Hooks: each calls fn with self, from inside the emulation. Blocks and instructions: before each translated
  // block (the counters) or instruction (the debugger) executes.
  using BlockHook = void (*)(uc_engine* uc, uint64_t start, uint32_t size, void* self);
  void on_every_block(BlockHook fn, void* self);
  void on_every_instruction(BlockHook fn, void* self);
  // Before the instruction at addr executes (one instruction's hook costs the others nothing).
  void on_instruction_at(uint32_t addr, BlockHook fn, void* self);
  // Interrupts and CPU exceptions, with their vector.
  using InterruptHook = void (*)(uc_engine* uc, uint32_t intno, void* self);
  void on_interrupt(InterruptHook fn, void* self);
  // Accesses to unmapped or forbidden memory (on_bad_access), or every store (on_store, the debugger's).
  using AccessHook = bool (*)(uc_engine* uc, uc_mem_type type, uint64_t addr, int size, int64_t value, void* self);
  void on_bad_access(AccessHook fn, void* self);
  void on_store(AccessHook fn, void* self);
  // Every load and store that touches [begin, end], called without the pc synced to the accessing instruction
  // (every access then costs the engine's slow path, and syncing it each time would cost far more): a hook that
  // needs eip asks sync_access_pc() first. Registers other than eip are current in the hook. skip_stack: the
  // stack's own accesses (push, pop, call, ret, [esp + disp] with disp >= 0), which are never below the stack
  // pointer but for a push's, are not the hook's concern and keep the fast path.
  void on_access_in(uint32_t begin, uint32_t end, AccessHook fn, void* self, bool skip_stack = false);
  void sync_access_pc();
  // Where the CPU keeps a general register (EAX..EDI, ESP, EBP): its current value inside memory hooks and
  // between runs, for a hook that reads it at every access.
  const uint32_t* register_storage(int id) const;
  // One instruction (UC_X86_INS_*); fn has the engine's signature for that instruction.
  void on_instruction(int insn, void* fn, void* self);

  // The instructions of the engine's block of size bytes at addr; 0 when the engine's block at addr is another
  // (the one instruction a cut block runs again).
  uint32_t block_insns(uint64_t addr, uint32_t size) const;
  // Blocks that self-modifying code cut short: how many so far, and where the last one stopped (its instructions
  // from there on did not run; that one runs again in a block of its own).
  const uc_block_cuts& block_cuts() const { return *cuts_; }

  // What a block hook needs of those: whether the block before this one was cut since it last asked, and where.
  class CutWatch {
   public:
    explicit CutWatch(const Machine& m) : cuts_(m.cuts_) {}
    bool take(uint32_t& at) {
      if (cuts_->count == seen_) return false;
      seen_ = cuts_->count;
      at = static_cast<uint32_t>(cuts_->address);
      return true;
    }

   private:
    const uc_block_cuts* cuts_;
    uint64_t seen_ = 0;
  };

  // Asks the running emulation to stop (safe from hooks and from another thread).
  void stop() const;

  uint32_t reg(int id) const;
  void set_reg(int id, uint32_t value);
  // A register write the engine may refuse (a debugger's): false when it did.
  bool try_set_reg(int id, uint32_t value);
  // The x87 register FP0 + i as 10 bytes (significand, then sign and exponent); false when it cannot be had.
  bool read_x87(int i, uint8_t out[10]) const;
  bool write_x87(int i, const uint8_t in[10]);
  // Going back in time: the CPU's whole state (registers, flags, x87 and SSE), and putting it back. From inside a
  // hook, restore_cpu makes the emulation go on from the restored eip.
  std::shared_ptr<uc_context> save_cpu() const;
  size_t cpu_state_size() const { return uc_context_size(uc_); }
  void restore_cpu(const std::shared_ptr<uc_context>& cpu);
  // The memory the guest may write, as (first address, size) ranges: all a run can change.
  std::vector<std::pair<uint32_t, uint32_t>> writable_ranges() const;
  // Puts bytes back whatever the permissions, dropping translations of code among them.
  void restore_bytes(uint32_t addr, const void* data, uint32_t len);
  // Whether the kit ever stored into the page holding addr (poke, write_bytes, restore_bytes): a page neither it
  // nor the guest wrote holds zeros, and reading it would make the host give it memory.
  bool kit_wrote(uint32_t addr) const { return kit_pages_ && (kit_pages_[addr >> 18] >> (addr >> 12 & 63) & 1); }
  // The descriptor table the CPU reads its segments from.
  void set_gdt(uint32_t base, uint16_t limit);

 private:
  struct Region {
    uint64_t begin, end;
    uint32_t perms;
  };
  // Whether any byte of [addr, addr + len) is executable.
  bool executable_in(uint32_t addr, uint32_t len) const;
  void drop_code_in(uint32_t addr, uint32_t len);

  uc_engine* uc_ = nullptr;
  const uc_block_cuts* cuts_ = nullptr;
  std::vector<Region> regions_;  // sorted, non-overlapping
  std::vector<std::pair<uint32_t, std::string>>* store_log_ = nullptr;
  std::function<void(uint32_t, uint32_t)> write_watch_;
  struct Free {
    void operator()(uint64_t* p) const { std::free(p); }
  };
  // A bit per guest page, made at the first store; zeroed by the host, so that a page of it is only ever touched
  // where the kit stores (a start-up stores into a few).
  std::unique_ptr<uint64_t[], Free> kit_pages_;
  void mark_kit_pages(uint32_t addr, size_t len);
};

}  // namespace tavik
