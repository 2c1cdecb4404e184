// InsnCount: per-block counts from the emulator's cache, and the correction for a block cut short by a fault.
#include "insn_count.hpp"

#include "guest_code.hpp"

#include <algorithm>

#include "address_space.hpp"
#include "deadline.hpp"
#include "errors.hpp"
#include "machine.hpp"
#include "process_end.hpp"

namespace tavik {

InsnCount::InsnCount(Machine& m, ProcessEnd& end, Deadline& deadline, uint64_t limit)
    : m_(m), end_(end), deadline_(deadline), limit_(limit) {}

void InsnCount::install() {
  uc_hook h;
  uc_check(uc_hook_add(m_.uc(), &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&InsnCount::on_block), this, 1, 0),
           "uc_hook_add(BLOCK)");
}

void InsnCount::on_block(uc_engine* uc, uint64_t addr, uint32_t, void* self) {
  auto* c = static_cast<InsnCount*>(self);
  if (addr == kTrampoline) return;
  uint32_t count;
  auto it = c->block_insns_.find(addr);
  if (it != c->block_insns_.end()) {
    count = it->second;
  } else {
    uc_tb tb{};
    if (uc_ctl_request_cache(uc, addr, &tb) != UC_ERR_OK) tb.icount = 1;
    count = tb.icount;
    c->block_insns_.emplace(addr, count);
  }
  if (c->limit_ != 0 && c->executed_ + count > c->limit_ && c->end_.running()) {
    c->end_.kill(Limit::InsnLimit);
    return;
  }
  c->executed_ += count;
  c->last_block_ = addr;
  c->last_block_insns_ = count;
  c->deadline_.poll();
}

void InsnCount::settle_at_fault(uint32_t eip) {
  if (last_block_ == 0 || eip < last_block_) return;
  // The block hook counted the faulting block whole; only the instructions before the fault ran.
  uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(4096, eip - last_block_ + 16));
  GuestCode code(m_, static_cast<uint32_t>(last_block_), len, last_block_insns_);
  if (code.size() == 0) return;
  uint32_t before = 0;
  for (size_t i = 0; i < code.size() && code[i].address < eip; ++i) ++before;
  executed_ = executed_ - last_block_insns_ + std::min(before, last_block_insns_);
}

}  // namespace tavik
