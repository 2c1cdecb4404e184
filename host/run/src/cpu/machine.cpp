// Machine: the emulator handle and the map, with copies that fail with -14 instead of harming the host.
#include "cpu/machine.hpp"

#include <algorithm>
#include <cstring>

#include "base/errors.hpp"

namespace tavik {

namespace {

// The translated code of one process: when it is full the emulator starts afresh, so no guest (a loop that
// rewrites its own code, say) can make it grow further.
constexpr uint32_t kTranslationBuffer = 32u << 20;

}  // namespace

Machine::Machine() {
  uc_check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open");
  uc_err err = uc_ctl_set_tcg_buffer_size(uc_, kTranslationBuffer);
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
  return uc_mem_write(uc_, addr, in, len) == UC_ERR_OK ? 0 : kEFAULT;
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
      return out.size() <= max ? 0 : -36;
    }
    out.append(chunk, want);
    at += want;
  }
  return -36;
}

void Machine::on_every_block(BlockHook fn, void* self) {
  uc_hook h;
  uc_check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(fn), self, 1, 0), "uc_hook_add(BLOCK)");
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
