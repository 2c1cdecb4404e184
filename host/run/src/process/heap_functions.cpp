// HeapFunctions: each heap function's arguments read from the stack at its entry, its result returned as its
// ret would return it.
#include "process/heap_functions.hpp"

#include <algorithm>
#include <vector>

#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "kernel/process_end.hpp"

namespace tavik {

void HeapFunctions::install() {
  ctx_.m.on_instruction_at(*ctx_.image.function_named("malloc"), &HeapFunctions::on_malloc, this);
  ctx_.m.on_instruction_at(*ctx_.image.function_named("free"), &HeapFunctions::on_free, this);
  if (std::optional<uint32_t> at = ctx_.image.function_named("calloc"))
    ctx_.m.on_instruction_at(*at, &HeapFunctions::on_calloc, this);
  if (std::optional<uint32_t> at = ctx_.image.function_named("realloc"))
    ctx_.m.on_instruction_at(*at, &HeapFunctions::on_realloc, this);
}

uint32_t HeapFunctions::arg(int i) const { return ctx_.word(ctx_.m.reg(UC_X86_REG_ESP) + 4 + 4 * i); }

void HeapFunctions::answer(uint32_t result) {
  uint32_t esp = ctx_.m.reg(UC_X86_REG_ESP), ret;
  if (ctx_.m.read_bytes(esp, &ret, 4) != 0) return;  // no return address: the library's own code runs and faults
  ctx_.m.set_reg(UC_X86_REG_EAX, result);
  ctx_.m.set_reg(UC_X86_REG_ESP, esp + 4);
  ctx_.m.set_reg(UC_X86_REG_EIP, ret);
}

Backtrace::Pcs HeapFunctions::here(uint32_t eip) const {
  return Backtrace::capture(ctx_.image, ctx_.m, eip, true, kHeapFrames);
}

void HeapFunctions::on_malloc(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* h = static_cast<HeapFunctions*>(self);
  h->ctx_.end.guarded([&] { h->answer(h->heap_.allocate(h->arg(0), h->here(static_cast<uint32_t>(addr)))); });
}

void HeapFunctions::on_calloc(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* h = static_cast<HeapFunctions*>(self);
  h->ctx_.end.guarded([&] {
    // The region is never handed out twice, so a new block's bytes are zero already.
    std::optional<uint32_t> total = h->heap_.product(h->arg(0), h->arg(1));
    h->answer(total ? h->heap_.allocate(*total, h->here(static_cast<uint32_t>(addr))) : 0);
  });
}

void HeapFunctions::on_realloc(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* h = static_cast<HeapFunctions*>(self);
  h->ctx_.end.guarded([&] {
    uint32_t eip = static_cast<uint32_t>(addr), old = h->arg(0), size = h->arg(1);
    HeapBlock* block = old ? h->heap_.live_block_at(old) : nullptr;
    if (old && !block) h->report_.bad_free("invalid realloc", old, eip);
    if (!h->ctx_.end.running()) return;
    uint32_t copied = block ? std::min(block->size, size ? size : 1) : 0;
    uint32_t fresh = h->heap_.allocate(size, h->here(eip));
    // The old block stays valid, as the library's realloc leaves it (it never gives memory back).
    if (fresh && copied) {
      std::vector<uint8_t> bytes(copied);
      h->ctx_.m.read_bytes(old, bytes.data(), copied);
      h->ctx_.m.write_bytes(fresh, bytes.data(), copied);
    }
    h->answer(fresh);
  });
}

void HeapFunctions::on_free(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* h = static_cast<HeapFunctions*>(self);
  h->ctx_.end.guarded([&] {
    uint32_t eip = static_cast<uint32_t>(addr), ptr = h->arg(0);
    if (HeapBlock* block = ptr ? h->heap_.live_block_at(ptr) : nullptr)
      h->heap_.release(*block, h->here(eip));
    else if (ptr)
      h->report_.bad_free("invalid free", ptr, eip);
    if (h->ctx_.end.running()) h->answer(h->ctx_.m.reg(UC_X86_REG_EAX));
  });
}

}  // namespace tavik
