// Memcheck: the heap functions answered at their entry, and every access into the heap, the arena and the stack
// looked at from the engine's memory hooks.
#include "process/memcheck.hpp"

#include <signal.h>

#include <algorithm>
#include <vector>

#include <tavik/abi.h>
#include <tavik/elf/printable.hpp>

#include "base/errors.hpp"
#include "base/calls.hpp"
#include "base/strf.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "gdb/gdb_stub.hpp"
#include "kernel/process_end.hpp"
#include "report/trace.hpp"

namespace tavik {
namespace {

enum Kind : uint64_t { kRead, kWrite, kFree };

}  // namespace

Memcheck::Memcheck(CheckerContext ctx, uint32_t stack_base) : ctx_(std::move(ctx)), stack_base_(stack_base) {}

void Memcheck::install() {
  uint32_t region = GuestHeap::region_below(stack_base_, ctx_.image, "--memcheck");
  esp_ = ctx_.m.register_storage(UC_X86_REG_ESP);
  heap_ = GuestHeap::of(ctx_.image, ctx_.m, region);
  // The stack, and the heap's region below it, in one hook; the arena in another.
  // The stack's own accesses are at or above its pointer, or within kPushReach below it: never an error while
  // the stack pointer lies in the stack (a program that moves it into the heap loses those checks), and a local
  // array's index is trusted not to reach below it.
  ctx_.m.on_access_in(heap_ ? region : stack_base_, TAVIK_STACK_TOP - 1, &Memcheck::on_access, this, true);
  ctx_.m.on_interrupt(&Memcheck::on_interrupt, this);
  if (!heap_) return;
  // The arena's whole pages only: the pages at its ends hold the program's own data too, whose every access a
  // hook would slow down.
  uint32_t first = (heap_->arena() + 0xFFFu) & ~0xFFFu, end = (heap_->arena() + heap_->arena_size()) & ~0xFFFu;
  if (first < end) ctx_.m.on_access_in(first, end - 1, &Memcheck::on_access, this);
  functions_.emplace(ctx_, *heap_, static_cast<HeapFunctions::BadFree&>(*this));
  functions_->install();
}

MemcheckSummary Memcheck::summary() const {
  MemcheckSummary s;
  s.errors = errors_;
  s.sites = sites_.size();
  s.heap_checked = heap_.has_value();
  if (!heap_) return s;
  const GuestHeap::Totals& t = heap_->totals();
  s.allocs = t.allocs;
  s.frees = t.frees;
  s.bytes = t.bytes;
  s.freed_bytes = t.freed_bytes;
  std::tie(s.in_use_blocks, s.in_use_bytes) = heap_->in_use();
  return s;
}

bool Memcheck::allowed(bool write, uint32_t addr, uint32_t size) const {
  if (addr >= stack_base_) {
    uint32_t esp = *esp_;
    return addr + size > esp || esp - addr <= kPushReach;
  }
  if (heap_ && heap_->in_region(addr)) return heap_->addressable(addr, size) || heap_->header_read(write, addr, size);
  // The arena is never handed out; the gap between the heap and the stack is unmapped, a fault of its own.
  return !(heap_ && heap_->in_arena(addr));
}

bool Memcheck::on_access(uc_engine*, uc_mem_type type, uint64_t addr, int size, int64_t, void* self) {
  auto* c = static_cast<Memcheck*>(self);
  bool write = type == UC_MEM_WRITE;
  uint32_t at = static_cast<uint32_t>(addr), n = static_cast<uint32_t>(size);
  if (c->allowed(write, at, n)) return true;  // nearly every access: decided without a call or a string
  c->ctx_.end.guarded([&] { c->report_access(write, at, n); });
  return true;
}

std::optional<uint32_t> Memcheck::first_denied(bool write, uint32_t addr, uint32_t size) const {
  uint64_t end = uint64_t{addr} + size;
  // Only the checked ranges are walked, byte by byte: the heap's region, the arena and the stack, 7 MiB at most.
  auto walk = [&](uint64_t from, uint64_t to) -> std::optional<uint32_t> {
    for (uint64_t a = std::max<uint64_t>(from, addr); a < std::min(to, end); ++a)
      if (!allowed(write, static_cast<uint32_t>(a), 1)) return static_cast<uint32_t>(a);
    return std::nullopt;
  };
  std::optional<uint32_t> bad;
  if (heap_) bad = walk(heap_->arena(), uint64_t{heap_->arena()} + heap_->arena_size());
  if (heap_ && !bad) bad = walk(heap_->region_start(), uint64_t{heap_->region_start()} + GuestHeap::kRegionSize);
  if (!bad) bad = walk(stack_base_, TAVIK_STACK_TOP);
  return bad;
}

void Memcheck::on_interrupt(uc_engine*, uint32_t intno, void* self) {
  auto* c = static_cast<Memcheck*>(self);
  if (intno == 0x80) c->ctx_.end.guarded([&] { c->check_call_buffer(); });
}

void Memcheck::check_call_buffer() {
  const CallRow* row = find_call(ctx_.m.reg(UC_X86_REG_EAX));
  if (!row) return;
  // A buffer is the second argument, counted by the third.
  bool out = row->kinds[1] == ArgKind::BYTES_OUT, in = row->kinds[1] == ArgKind::BYTES_IN;
  if (!out && !in) return;
  uint32_t buf = ctx_.m.reg(UC_X86_REG_ECX), count = ctx_.m.reg(UC_X86_REG_EDX);
  std::optional<uint32_t> bad = first_denied(in, buf, count);
  if (!bad) return;
  const HeapBlock* block = nullptr;
  std::string where = *bad >= stack_base_ ? strf("%u bytes below the stack pointer", *esp_ - *bad)
                                          : heap_->where(*bad, &block);
  // The interrupt is told after its instruction: the call is the two bytes before.
  uint32_t eip = ctx_.m.reg(UC_X86_REG_EIP) - 2;
  MemoryError e{strf("invalid %s by %s()", in ? "write" : "read", row->name), static_cast<uint32_t>(buf + count - *bad),
                *bad, eip, where, {}, {}, {}};
  report(e, block);
}

void Memcheck::report_access(bool write, uint32_t addr, uint32_t size) {
  const HeapBlock* block = nullptr;
  std::string where = addr >= stack_base_ ? strf("%u bytes below the stack pointer", *esp_ - addr)
                                          : heap_->where(addr, &block);
  ctx_.m.sync_access_pc();
  MemoryError e{write ? "invalid write" : "invalid read", size, addr, ctx_.m.reg(UC_X86_REG_EIP), where, {}, {}, {}};
  report(e, block);
}

void Memcheck::bad_free(const char* what, uint32_t ptr, uint32_t eip) {
  const HeapBlock* block = nullptr;
  MemoryError e{what, 0, ptr, eip, heap_->where(ptr, &block), {}, {}, {}};
  report(e, block);
}

void Memcheck::report(MemoryError& e, const HeapBlock* block) {
  ++errors_;
  Kind kind = e.size == 0 ? kFree : e.what.starts_with("invalid write") ? kWrite : kRead;
  uint64_t site = uint64_t{e.eip} << 2 | kind;
  if (sites_.count(site)) return;
  if (sites_.size() >= kMostSites) {
    if (!said_enough_) {
      std::string note = strf("tavik: %s: memcheck: more than %zu error sites: the rest are counted, not shown\n",
                              elf::printable(ctx_.name).c_str(), kMostSites);
      ctx_.say(note);
    }
    said_enough_ = true;
    return;
  }
  sites_.insert(site);
  // A free's eip is the heap function's first instruction, its caller's return address on top of the stack.
  e.at = Backtrace::of(ctx_.image, ctx_.m, e.eip, kind == kFree);
  if (block) e.allocated = Backtrace::resolve(ctx_.image, block->allocated);
  if (block && block->freed) e.freed = Backtrace::resolve(ctx_.image, block->freed_at);
  std::string text = render_memory_error(ctx_.name, e, ctx_.image);
  ctx_.say(text);
  ctx_.trace.memory_error(e);
  if (gdb_) gdb_->stop_here(SIGSEGV);
}

}  // namespace tavik
