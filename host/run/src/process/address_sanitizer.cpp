// AddressSanitizer: the runtime's data as the compiler lays it out for i386 (a global's record is eight words; a
// frame with checked locals starts with a magic word, its description and its function), read through the
// machine's checked copies, so that data a program corrupted gives a short report, never a crash of the kit.
#include "process/address_sanitizer.hpp"

#include <algorithm>
#include <sstream>

#include <tavik/abi.h>
#include <tavik/elf/printable.hpp>

#include "base/errors.hpp"
#include "base/strf.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "kernel/process_end.hpp"
#include "report/trace.hpp"

namespace tavik {
namespace {

constexpr const char* kReportPrefix = "__asan_report_";
constexpr uint32_t kFrameMagic = 0x41b58ab3;
constexpr uint32_t kLongestText = 4096;
// A frame's redzones are looked for this far below a bad stack address.
constexpr uint32_t kFrameReach = 1u << 20;
constexpr size_t kMostFrameVariables = 256;
// The compiler gives a global at most a few hundred bytes of redzone.
constexpr uint32_t kLargestGlobalRedzone = 4096;
// The library's functions that touch ranges on a program's behalf.
constexpr const char* kMemoryFunctions[] = {"memcpy", "memmove", "memset", "strcpy", "strncpy", "strcat"};

const char* kind_name(uint8_t kind) {
  switch (kind) {
    case 0xfa: case 0xfb: return "heap-buffer-overflow";
    case 0xfd: return "heap-use-after-free";
    case 0xf1: return "stack-buffer-underflow";
    case 0xf2: case 0xf3: return "stack-buffer-overflow";
    case 0xf5: return "stack-use-after-return";
    case 0xf8: return "stack-use-after-scope";
    case 0xf9: return "global-buffer-overflow";
    case 0xca: case 0xcb: return "dynamic-stack-buffer-overflow";
    case 0xf6: return "initialization-order-fiasco";
    case 0xf7: return "use-after-poison";
    case 0xfc: return "container-overflow";
    default: return "unknown-crash";
  }
}

bool stack_kind(uint8_t kind) {
  return (kind >= 0xf1 && kind <= 0xf8 && kind != 0xf6 && kind != 0xf7) || kind == 0xca || kind == 0xcb;
}

std::string bytes(uint32_t n) { return strf(n == 1 ? "%u byte" : "%u bytes", n); }

}  // namespace

AddressSanitizer::AddressSanitizer(CheckerContext ctx, uint32_t stack_base)
    : ctx_(std::move(ctx)), stack_base_(stack_base) {}

bool AddressSanitizer::built_into(const Image& image) { return image.function_named("__asan_init").has_value(); }

void AddressSanitizer::install() {
  uint32_t region = GuestHeap::region_below(stack_base_, ctx_.image, "-fsanitize=address");
  std::vector<ShadowMemory::Range> own{{stack_base_, TAVIK_STACK_TOP},
                                       {region, uint64_t{region} + GuestHeap::kRegionSize}};
  for (const Segment& s : ctx_.image.segments()) own.push_back({s.vaddr, uint64_t{s.vaddr} + s.memsz});
  for (const ShadowMemory::Range& r : own)
    if (r.first < uint64_t{ShadowMemory::kOffset} + ShadowMemory::kSize && r.second > ShadowMemory::kOffset)
      throw SetupError(strf("-fsanitize=address: memory at 0x%08llx lies where the shadow goes (0x%08x..0x%08x)",
                            static_cast<unsigned long long>(r.first), ShadowMemory::kOffset,
                            ShadowMemory::kOffset + ShadowMemory::kSize - 1));
  shadow_.emplace(ctx_.m, own);
  heap_ = GuestHeap::of(ctx_.image, ctx_.m, region);
  if (heap_) {
    heap_->keep_shadow(&*shadow_);
    functions_.emplace(ctx_, *heap_, static_cast<HeapFunctions::BadFree&>(*this));
    functions_->install();
  }
  for (const char* access : {"load", "store"})
    for (const char* size : {"1", "2", "4", "8", "16", "_n"})
      for (const char* recover : {"", "_noabort"})
        if (std::optional<uint32_t> at =
                ctx_.image.function_named(kReportPrefix + strf("%s%s%s", access, size, recover)))
          ctx_.m.on_instruction_at(*at, &AddressSanitizer::on_report, this);
  if (std::optional<uint32_t> at = ctx_.image.function_named("__asan_register_globals"))
    ctx_.m.on_instruction_at(*at, &AddressSanitizer::on_register_globals, this);
  if (std::optional<uint32_t> at = ctx_.image.function_named("__asan_handle_no_return"))
    ctx_.m.on_instruction_at(*at, &AddressSanitizer::on_no_return, this);
  for (const char* name : kMemoryFunctions)
    if (std::optional<uint32_t> at = ctx_.image.function_named(name))
      ctx_.m.on_instruction_at(*at, &AddressSanitizer::on_memory_function, this);
}

std::string AddressSanitizer::text_at(uint32_t addr) const {
  std::string text;
  if (ctx_.m.read_cstring(addr, text, kLongestText) != 0) return "?";
  return text;
}

void AddressSanitizer::on_report(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* a = static_cast<AddressSanitizer*>(self);
  a->ctx_.end.guarded([&] {
    uint32_t eip = static_cast<uint32_t>(addr);
    std::string entry = a->ctx_.image.function_at(eip);
    if (entry.starts_with(kReportPrefix)) a->report_check(entry.substr(std::string(kReportPrefix).size()), eip);
  });
}

void AddressSanitizer::report_check(const std::string& entry, uint32_t eip) {
  uint32_t esp = ctx_.m.reg(UC_X86_REG_ESP), addr = ctx_.word(esp + 4);
  bool write = entry.starts_with("store"), recover = entry.ends_with("_noabort");
  std::string size_text = entry.substr(write ? 5 : 4);
  uint32_t size = size_text.starts_with("_n") ? ctx_.word(esp + 8) : static_cast<uint32_t>(std::stoul(size_text));
  uint32_t caller = ctx_.word(esp);
  if (recover && (sites_.size() >= kMostSites || !sites_.insert(caller).second)) return;
  uint32_t bad = shadow_->first_poisoned(addr, std::max(size, 1u)).value_or(addr);
  MemoryError e;
  e.access = write ? "WRITE" : "READ";
  e.size = size;
  e.addr = bad;
  e.at = Backtrace::of(ctx_.image, ctx_.m, eip, true);
  // The runtime's frames are not the program's: the report starts at the checked access.
  while (e.at.frames.size() > 1 && e.at.frames[0].function.starts_with("__asan_"))
    e.at.frames.erase(e.at.frames.begin());
  e.eip = e.at.frames.empty() ? eip : e.at.frames[0].pc;
  uint8_t kind = shadow_->kind_at(bad);
  e.what = kind_name(kind);
  e.where = describe(bad, kind, size, e);
  report(e, !recover);
}

void AddressSanitizer::on_memory_function(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* a = static_cast<AddressSanitizer*>(self);
  a->ctx_.end.guarded([&] {
    uint32_t eip = static_cast<uint32_t>(addr);
    a->check_memory_function(a->ctx_.image.function_at(eip), eip);
  });
}

void AddressSanitizer::check_memory_function(const std::string& name, uint32_t eip) {
  uint32_t esp = ctx_.m.reg(UC_X86_REG_ESP);
  uint32_t dst = ctx_.word(esp + 4), src = ctx_.word(esp + 8), n = ctx_.word(esp + 12);
  // A string's length, with its NUL; unknown (nothing checked) when it is unreadable or longer than the text cap.
  auto length = [&](uint32_t s) -> std::optional<uint32_t> {
    std::string text;
    if (ctx_.m.read_cstring(s, text, 1u << 20) != 0) return std::nullopt;
    return static_cast<uint32_t>(text.size() + 1);
  };
  if (name == "memcpy" || name == "memmove") {
    check_range(false, src, n, eip);
    check_range(true, dst, n, eip);
  } else if (name == "memset") {
    check_range(true, dst, n, eip);
  } else if (name == "strcpy") {
    if (std::optional<uint32_t> len = length(src)) {
      check_range(false, src, *len, eip);
      check_range(true, dst, *len, eip);
    }
  } else if (name == "strncpy") {
    std::optional<uint32_t> len = length(src);
    if (len) check_range(false, src, std::min(*len, n), eip);
    check_range(true, dst, n, eip);
  } else if (name == "strcat") {
    std::optional<uint32_t> had = length(dst), len = length(src);
    if (had && len) {
      check_range(false, src, *len, eip);
      check_range(true, dst + *had - 1, *len, eip);
    }
  }
}

void AddressSanitizer::check_range(bool write, uint32_t addr, uint32_t size, uint32_t eip) {
  if (!ctx_.end.running() || size == 0) return;
  std::optional<uint32_t> bad = shadow_->first_poisoned(addr, size);
  if (!bad) return;
  MemoryError e;
  e.access = write ? "WRITE" : "READ";
  e.size = size;
  e.addr = *bad;
  e.eip = eip;
  e.at = Backtrace::of(ctx_.image, ctx_.m, eip, true);
  uint8_t kind = shadow_->kind_at(*bad);
  e.what = kind_name(kind);
  e.where = describe(*bad, kind, size, e);
  report(e, true);
}

void AddressSanitizer::bad_free(const char* what, uint32_t ptr, uint32_t eip) {
  bool realloc = std::string(what).ends_with("realloc");
  const HeapBlock* block = heap_->block_near(ptr);
  bool twice = block && block->freed && block->start == ptr;
  MemoryError e;
  e.what = twice ? "double-free" : "bad-free";
  e.headline = twice ? strf("attempting double-free on 0x%08x", ptr)
                     : strf("attempting %s on address which was not malloc()-ed: 0x%08x",
                            realloc ? "realloc" : "free", ptr);
  e.addr = ptr;
  e.eip = eip;
  e.at = Backtrace::of(ctx_.image, ctx_.m, eip, true);
  e.where = describe(ptr, block ? ShadowMemory::kHeapRedzone : 0, 1, e);
  report(e, true);
}

void AddressSanitizer::on_register_globals(uc_engine*, uint64_t, uint32_t, void* self) {
  auto* a = static_cast<AddressSanitizer*>(self);
  a->ctx_.end.guarded([&] {
    uint32_t esp = a->ctx_.m.reg(UC_X86_REG_ESP);
    a->register_globals(a->ctx_.word(esp + 4), a->ctx_.word(esp + 8));
  });
}

void AddressSanitizer::register_globals(uint32_t array, uint32_t count) {
  for (uint32_t i = 0; i < count && globals_.size() < kMostGlobals; ++i) {
    uint32_t w[8];
    if (ctx_.m.read_bytes(array + 32 * i, w, sizeof w) != 0) return;
    Global g{w[0], w[1], w[2], w[3], w[4], w[6]};
    // The compiler aligns each global to its granule and puts the redzone after it; anything else is skipped.
    if (g.start % 8 || g.size > g.with_redzone || g.with_redzone - g.size > kLargestGlobalRedzone) continue;
    // The global's own shadow is clear already but for its last granule, which may be partial.
    uint32_t body = (g.size + 7) & ~7u;
    if (g.size % 8) shadow_->unpoison(g.start + (g.size & ~7u), g.size % 8);
    if (g.with_redzone > body) shadow_->poison(g.start + body, g.with_redzone - body, ShadowMemory::kGlobalRedzone);
    globals_.push_back(g);
  }
}

void AddressSanitizer::on_no_return(uc_engine*, uint64_t, uint32_t, void* self) {
  auto* a = static_cast<AddressSanitizer*>(self);
  // Frames a call that never returns leaves behind (longjmp) keep their redzones: cleared, as they are dead.
  a->ctx_.end.guarded([&] {
    uint32_t esp = a->ctx_.m.reg(UC_X86_REG_ESP) & ~7u;
    if (esp > a->stack_base_ && esp <= TAVIK_STACK_TOP) a->shadow_->unpoison(a->stack_base_, esp - a->stack_base_);
  });
}

std::string AddressSanitizer::describe(uint32_t addr, uint8_t kind, uint32_t size, MemoryError& e) const {
  if (const HeapBlock* b = heap_ ? heap_->block_near(addr) : nullptr) {
    std::string at = addr < b->start                ? bytes(b->start - addr) + " before"
                     : addr - b->start < b->size    ? bytes(addr - b->start) + " inside of"
                                                    : bytes(addr - b->start - b->size) + " after";
    e.allocated = Backtrace::resolve(ctx_.image, b->allocated);
    if (b->freed) e.freed = Backtrace::resolve(ctx_.image, b->freed_at);
    return strf("0x%08x is located %s %u-byte region [0x%08x,0x%08x)", addr, at.c_str(), b->size, b->start,
                b->start + b->size);
  }
  if (kind == ShadowMemory::kGlobalRedzone || kind == 0) {
    std::string global = describe_global(addr);
    if (!global.empty()) return global;
  }
  if (addr >= stack_base_ && addr < TAVIK_STACK_TOP && stack_kind(kind)) return describe_stack(addr, size);
  return strf("0x%08x is not in a heap block, a registered global or a checked frame", addr);
}

std::string AddressSanitizer::describe_global(uint32_t addr) const {
  for (const Global& g : globals_) {
    if (addr - g.start >= g.with_redzone) continue;
    std::string defined = elf::printable(text_at(g.module));
    if (g.location)
      defined = strf("%s:%u:%u", elf::printable(text_at(ctx_.word(g.location))).c_str(), ctx_.word(g.location + 4),
                     ctx_.word(g.location + 8));
    std::string at = addr - g.start < g.size ? bytes(addr - g.start) + " inside of"
                                             : bytes(addr - g.start - g.size) + " after";
    return strf("0x%08x is located %s global variable '%s' defined in '%s' (0x%08x) of size %u", addr, at.c_str(),
                elf::printable(text_at(g.name)).c_str(), defined.c_str(), g.start, g.size);
  }
  return "";
}

std::string AddressSanitizer::describe_stack(uint32_t addr, uint32_t size) const {
  // The frame begins with its left redzone: the lowest of the run of those granules below the address.
  uint32_t g = addr & ~7u, lowest = addr - stack_base_ > kFrameReach ? addr - kFrameReach : stack_base_;
  while (g >= lowest + 8 && shadow_->byte(g) != 0xf1) g -= 8;
  while (g >= lowest + 8 && shadow_->byte(g - 8) == 0xf1) g -= 8;
  if (shadow_->byte(g) != 0xf1 || ctx_.word(g) != kFrameMagic) return strf("0x%08x is located in the stack", addr);
  uint32_t offset = addr - g;
  std::string function = elf::printable(ctx_.image.function_at(ctx_.word(g + 8)));
  std::string out = strf("0x%08x is located in stack at offset %u in frame of %s", addr, offset,
                         function.empty() ? "?" : function.c_str());
  // "count (offset size length name[:line])..." as the compiler describes the frame.
  std::istringstream in(text_at(ctx_.word(g + 4)));
  size_t count = 0;
  if (!(in >> count) || count > kMostFrameVariables) return out;
  struct Var { uint64_t begin, size; std::string name; };
  std::vector<Var> vars;
  for (size_t i = 0; i < count; ++i) {
    Var v;
    size_t length;
    if (!(in >> v.begin >> v.size >> length) || length > kLongestText) break;
    in.get();
    v.name.resize(length);
    if (!in.read(v.name.data(), static_cast<std::streamsize>(length))) break;
    vars.push_back(std::move(v));
  }
  out += strf("\nthis frame has %zu object(s):", vars.size());
  uint64_t end = uint64_t{offset} + size;
  for (size_t i = 0; i < vars.size(); ++i) {
    const Var& v = vars[i];
    uint64_t v_end = v.begin + v.size, prev_end = i ? vars[i - 1].begin + vars[i - 1].size : 0;
    uint64_t next = i + 1 < vars.size() ? vars[i + 1].begin : UINT64_MAX;
    // The variable nearest the access is marked, as the sanitizer marks it.
    const char* mark = nullptr;
    if (offset >= v.begin) {
      if (end <= v_end) mark = "is inside";
      else if (offset < v_end) mark = "partially overflows";
      else if (end <= next && next - end >= offset - v_end) mark = "overflows";
    } else if (end > v.begin) {
      mark = "partially underflows";
    } else if (offset >= prev_end && offset - prev_end >= v.begin - end) {
      mark = "underflows";
    }
    std::string name = v.name, line;
    if (size_t colon = name.rfind(':'); colon != std::string::npos) {
      line = " (line " + name.substr(colon + 1) + ")";
      name.resize(colon);
    }
    out += strf("\n  [%llu, %llu) '%s'%s", static_cast<unsigned long long>(v.begin),
                static_cast<unsigned long long>(v_end), elf::printable(name).c_str(), elf::printable(line).c_str());
    if (mark) out += strf(" <== memory access at offset %u %s this variable", offset, mark);
  }
  return out;
}

void AddressSanitizer::report(MemoryError& e, bool ends) {
  ctx_.say(render_address_error(ctx_.name, e, ctx_.image));
  ctx_.trace.memory_error(e);
  if (ends) ctx_.end.exit(1);
}

}  // namespace tavik
