// Machine: the emulator handle and the map, with copies that fail with -14 instead of harming the host.
#include "cpu/machine.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/errors.hpp"

namespace tavik {

namespace {

// The translated code of one process: when it is full the emulator starts afresh, so no guest (a loop that
// rewrites its own code, say) can make it grow further.
constexpr uint32_t kTranslationBuffer = 32u << 20;

}  // namespace

Machine::Machine() {
  uc_check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open");
  uc_block_cuts* cuts = nullptr;
  uc_err err = uc_ctl_set_tcg_buffer_size(uc_, kTranslationBuffer);
  if (err == UC_ERR_OK) err = uc_ctl_block_cuts(uc_, &cuts);
  // Guest memory at one host base, reached by translated code without the TLB; a host that cannot reserve the
  // space runs the guest as exactly, only slower.
  if (err == UC_ERR_OK && uc_ctl_direct_memory(uc_, 1) == UC_ERR_RESOURCE) err = UC_ERR_OK;
  cuts_ = cuts;
  if (err != UC_ERR_OK) {
    uc_close(uc_);
    uc_ = nullptr;
    uc_check(err, "uc_ctl_set_tcg_buffer_size");
  }
}

Machine::~Machine() { close(); }

void Machine::close() {
  if (uc_ != nullptr) uc_close(uc_);
  uc_ = nullptr;
  regions_.clear();
}

void Machine::map(uint32_t addr, uint32_t size, uint32_t perms) {
  uc_check(uc_mem_map(uc_, addr, size, perms), "uc_mem_map");
  Region r{addr, uint64_t(addr) + size, perms};
  regions_.insert(std::upper_bound(regions_.begin(), regions_.end(), r,
                                   [](const Region& a, const Region& b) { return a.begin < b.begin; }),
                  r);
}

void Machine::poke(uint32_t addr, const void* data, size_t len) {
  if (len == 0) return;
  uc_check(uc_mem_write(uc_, addr, data, len), "uc_mem_write");
  mark_kit_pages(addr, len);
}

void Machine::mark_kit_pages(uint32_t addr, size_t len) {
  if (!kit_pages_) {
    kit_pages_.reset(static_cast<uint64_t*>(std::calloc((size_t{1} << 20) / 64, sizeof(uint64_t))));
    if (!kit_pages_) throw std::bad_alloc();
  }
  for (uint64_t page = addr >> 12, last = (uint64_t{addr} + len - 1) >> 12; page <= last && page < (1u << 20); ++page)
    kit_pages_[page >> 6] |= uint64_t{1} << (page & 63);
}

uint32_t Machine::span(uint32_t addr, uint32_t max, uint32_t perms) const {
  uint64_t at = addr;
  uint64_t stop = uint64_t(addr) + max;
  for (const Region& r : regions_) {
    if (r.end <= at) continue;
    if (r.begin > at || (r.perms & perms) != perms) break;
    at = r.end;
    if (at >= stop) break;
  }
  return static_cast<uint32_t>(std::min(at, stop) - addr);
}

int32_t Machine::read_bytes(uint32_t addr, void* out, uint32_t len) const {
  if (len == 0) return 0;
  if (span(addr, len, UC_PROT_READ) != len) return kEFAULT;
  return uc_mem_read(uc_, addr, out, len) == UC_ERR_OK ? 0 : kEFAULT;
}

bool Machine::peek(uint32_t addr, void* out, uint32_t len) const {
  return span(addr, len, UC_PROT_NONE) == len && uc_mem_read(uc_, addr, out, len) == UC_ERR_OK;
}

int32_t Machine::write_bytes(uint32_t addr, const void* in, uint32_t len) {
  if (len == 0) return 0;
  if (span(addr, len, UC_PROT_WRITE) != len) return kEFAULT;
  if (uc_mem_write(uc_, addr, in, len) != UC_ERR_OK) return kEFAULT;
  mark_kit_pages(addr, len);
  drop_code_in(addr, len);
  if (store_log_) store_log_->emplace_back(addr, std::string(static_cast<const char*>(in), len));
  if (write_watch_) write_watch_(addr, len);
  return 0;
}

std::shared_ptr<uc_context> Machine::save_cpu() const {
  uc_context* ctx = nullptr;
  uc_check(uc_context_alloc(uc_, &ctx), "uc_context_alloc");
  std::shared_ptr<uc_context> cpu(ctx, [](uc_context* c) { uc_context_free(c); });
  uc_check(uc_context_save(uc_, ctx), "uc_context_save");
  return cpu;
}

void Machine::restore_cpu(const std::shared_ptr<uc_context>& cpu) {
  uc_check(uc_context_restore(uc_, cpu.get()), "uc_context_restore");
  // Writing eip is what makes a running emulation leave its block and go on from there.
  set_reg(UC_X86_REG_EIP, reg(UC_X86_REG_EIP));
}

std::vector<std::pair<uint32_t, uint32_t>> Machine::writable_ranges() const {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const Region& r : regions_)
    if (r.perms & UC_PROT_WRITE) out.emplace_back(static_cast<uint32_t>(r.begin), static_cast<uint32_t>(r.end - r.begin));
  return out;
}

void Machine::restore_bytes(uint32_t addr, const void* data, uint32_t len) {
  poke(addr, data, len);
  drop_code_in(addr, len);
}

// Code the guest ran from bytes the kit stored is stale now (a read into a buffer it executes, a checkpoint put
// back): the engine translates them again, as a CPU would see them.
void Machine::drop_code_in(uint32_t addr, uint32_t len) {
  if (executable_in(addr, len))
    uc_check(uc_ctl_remove_cache(uc_, addr, uint64_t(addr) + len), "uc_ctl(REMOVE_CACHE)");
}

bool Machine::executable_in(uint32_t addr, uint32_t len) const {
  uint64_t end = uint64_t(addr) + len;
  for (const Region& r : regions_)
    if (r.begin < end && r.end > addr && (r.perms & UC_PROT_EXEC)) return true;
  return false;
}

int32_t Machine::read_cstring(uint32_t addr, std::string& out, uint32_t max) const {
  out.clear();
  char chunk[256];
  uint64_t at = addr;
  while (out.size() <= max) {
    // Read no further than the current page so that a string ending just before unmapped memory is fine.
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(sizeof chunk, TAVIK_PAGE_SIZE - at % TAVIK_PAGE_SIZE));
    if (at > 0xFFFFFFFFull) return kEFAULT;
    if (read_bytes(static_cast<uint32_t>(at), chunk, want) != 0) return kEFAULT;
    const void* nul = std::memchr(chunk, 0, want);
    if (nul != nullptr) {
      out.append(chunk, static_cast<const char*>(nul) - chunk);
      return out.size() <= max ? 0 : -TAVIK_ENAMETOOLONG;
    }
    out.append(chunk, want);
    at += want;
  }
  return -TAVIK_ENAMETOOLONG;
}

uc_err Machine::run_from(uint32_t addr) { return uc_emu_start(uc_, addr, 0, 0, 0); }

namespace {

void add_hook(uc_engine* uc, int type, void* fn, void* self, const char* what, int insn = 0) {
  uc_hook h;
  uc_check(insn ? uc_hook_add(uc, &h, type, fn, self, 1, 0, insn) : uc_hook_add(uc, &h, type, fn, self, 1, 0), what);
}

// The engine's layout of an x87 register: the 64-bit significand, then sign and exponent.
struct Float80 {
  uint64_t mantissa;
  uint16_t exponent;
};

}  // namespace

void Machine::on_every_block(BlockHook fn, void* self) {
  add_hook(uc_, UC_HOOK_BLOCK, reinterpret_cast<void*>(fn), self, "uc_hook_add(BLOCK)");
}

void Machine::on_every_instruction(BlockHook fn, void* self) {
  add_hook(uc_, UC_HOOK_CODE, reinterpret_cast<void*>(fn), self, "uc_hook_add(CODE)");
}

void Machine::on_instruction_at(uint32_t addr, BlockHook fn, void* self) {
  uc_hook h;
  uc_check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(fn), self, addr, addr), "uc_hook_add(CODE)");
}

void Machine::on_interrupt(InterruptHook fn, void* self) {
  add_hook(uc_, UC_HOOK_INTR, reinterpret_cast<void*>(fn), self, "uc_hook_add(INTR)");
}

void Machine::on_bad_access(AccessHook fn, void* self) {
  add_hook(uc_, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(fn), self, "uc_hook_add(MEM_INVALID)");
}

void Machine::on_store(AccessHook fn, void* self) {
  add_hook(uc_, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(fn), self, "uc_hook_add(MEM_WRITE)");
}

void Machine::on_access_in(uint32_t begin, uint32_t end, AccessHook fn, void* self, bool skip_stack) {
  uc_check(uc_ctl_mem_hook_lazy_pc(uc_, 1), "uc_ctl(MEM_HOOK_LAZY_PC)");
  uc_hook h;
  uc_check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(fn), self, begin, end),
           "uc_hook_add(MEM_READ|MEM_WRITE)");
  if (skip_stack) uc_check(uc_ctl_mem_hook_skip_stack(uc_, h), "uc_ctl(MEM_HOOK_SKIP_STACK)");
}

void Machine::sync_access_pc() { uc_check(uc_ctl_sync_pc(uc_), "uc_ctl(SYNC_PC)"); }

const uint32_t* Machine::register_storage(int id) const {
  const void* storage = nullptr;
  uc_check(uc_ctl_reg_storage(uc_, id, &storage), "uc_ctl(REG_STORAGE)");
  return static_cast<const uint32_t*>(storage);  // the low half of the engine's 64-bit register, little-endian
}

void Machine::on_instruction(int insn, void* fn, void* self) {
  add_hook(uc_, UC_HOOK_INSN, fn, self, "uc_hook_add(INSN)", insn);
}

uint32_t Machine::block_insns(uint64_t addr, uint32_t size) const {
  uc_tb tb{};
  bool same = uc_ctl_request_cache(uc_, addr, &tb) == UC_ERR_OK && tb.size == size;
  return same ? tb.icount : 0;
}

bool Machine::try_set_reg(int id, uint32_t value) { return uc_reg_write(uc_, id, &value) == UC_ERR_OK; }

bool Machine::read_x87(int i, uint8_t out[10]) const {
  Float80 f{};
  if (uc_reg_read(uc_, UC_X86_REG_FP0 + i, &f) != UC_ERR_OK) return false;
  std::memcpy(out, &f.mantissa, 8);
  std::memcpy(out + 8, &f.exponent, 2);
  return true;
}

bool Machine::write_x87(int i, const uint8_t in[10]) {
  Float80 f{};
  std::memcpy(&f.mantissa, in, 8);
  std::memcpy(&f.exponent, in + 8, 2);
  return uc_reg_write(uc_, UC_X86_REG_FP0 + i, &f) == UC_ERR_OK;
}

void Machine::set_gdt(uint32_t base, uint16_t limit) {
  uc_x86_mmr gdtr{};
  gdtr.base = base;
  gdtr.limit = limit;
  uc_check(uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "uc_reg_write(GDTR)");
}

void Machine::stop() const {
  // The only failure is an engine that is not running, which is what a stop wants anyway.
  uc_err ignored = uc_emu_stop(uc_);
  (void)ignored;
}

uint32_t Machine::reg(int id) const {
  uint32_t value = 0;
  uc_check(uc_reg_read(uc_, id, &value), "uc_reg_read");
  return value;
}

void Machine::set_reg(int id, uint32_t value) { uc_check(uc_reg_write(uc_, id, &value), "uc_reg_write"); }

}  // namespace tavik
