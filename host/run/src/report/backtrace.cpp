// Backtrace: libdwfl over an in-memory copy of the image, its unwinder fed by the machine's registers and memory;
// the frame-pointer chain where there is no debug information or the unwinder finds nothing.
#include "report/backtrace.hpp"

#include <tavik/elf/debug_info.hpp>
#include <tavik/elf/printable.hpp>

#include <unicorn/unicorn.h>

#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "base/strf.hpp"

namespace tavik {
namespace {

// However deep the guest's stack, or however its frames loop, a report stays short.
constexpr size_t kMostFrames = 64;

// The frames at pc, innermost first: the inlined calls around it, then the function that holds them. `call`
// is false for the faulting instruction and true for a return address, which is looked up one byte back.
void add_frames(const elf::DebugInfo& debug, const Image& image, uint32_t pc, bool call, std::vector<Frame>& out) {
  uint32_t lookup = call ? pc - 1 : pc;
  Frame f{pc, image.function_at(lookup), "", 0, 0};
  debug.line_at(lookup, f.file, f.line, &f.column);
  // Each inlined call is a frame of its own, at the same pc; the line of the frame around it is the call's.
  for (const elf::InlinedCall& inlined : debug.inlined_at(lookup)) {
    if (out.size() >= kMostFrames) break;
    Frame frame = f;
    frame.function = inlined.function;
    out.push_back(frame);
    if (inlined.call_line != 0) f.line = inlined.call_line, f.column = 0;
  }
  if (out.size() < kMostFrames) out.push_back(f);
}

// The unwinder's pcs, when it finds callers or a source line for the first (else the frame pointers say more).
bool unwind_with_debug_info(const Image& image, const Machine& m, uint32_t eip, bool at_entry, size_t most,
                            Backtrace::Pcs& out) {
  elf::DebugInfo* debug = image.debug_info();
  if (!debug) return false;
  const int ids[] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP,
                     UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};
  elf::DebugInfo::Registers regs{};
  for (int i = 0; i < 8; ++i) regs[i] = m.reg(ids[i]);
  regs[8] = eip;
  auto read = [&m](uint32_t addr, uint32_t& word) { return m.read_bytes(addr, &word, 4) == 0; };
  // At a function's first instruction its caller's state is one return away, whatever the function's own
  // call-frame information says (a library function may have none): the unwinder starts from the caller.
  uint32_t ret;
  if (at_entry && most > 1 && read(regs[4], ret)) {
    out.pcs.push_back(eip);
    regs[4] += 4;
    regs[8] = ret;
  }
  // One pc more than is kept tells a stack that was cut.
  for (const elf::UnwoundPc& at : debug->unwind(regs, read, most + 1)) {
    if (out.pcs.size() >= most) {
      out.cut = true;
      break;
    }
    out.pcs.push_back(at.pc);
  }
  // No frame from the unwinder (no call-frame information): the faulting instruction's own line still helps.
  if (out.pcs.empty()) out.pcs.push_back(eip);
  std::string file;
  int line = 0;
  return out.pcs.size() > 1 || debug->line_at(out.pcs[0], file, line);
}

// The saved frame pointers: each frame holds the caller's ebp and, above it, the return address.
void from_frame_pointers(const Machine& m, uint32_t eip, bool at_entry, size_t most, Backtrace::Pcs& out) {
  out.pcs.push_back(eip);
  uint32_t ret;
  if (at_entry && m.read_bytes(m.reg(UC_X86_REG_ESP), &ret, 4) == 0 && ret != 0) out.pcs.push_back(ret);
  uint32_t ebp = m.reg(UC_X86_REG_EBP);
  for (;;) {
    uint32_t saved[2];
    if (ebp == 0 || ebp > 0xFFFFFFF7u || m.read_bytes(ebp, saved, sizeof saved) != 0 || saved[1] == 0) break;
    if (out.pcs.size() >= most) {
      out.cut = true;
      break;
    }
    out.pcs.push_back(saved[1]);
    if (saved[0] <= ebp) break;  // frames go up the stack; anything else is no chain
    ebp = saved[0];
  }
}

std::string last_component(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Backtrace::Pcs Backtrace::capture(const Image& image, const Machine& m, uint32_t eip, bool at_entry, size_t most) {
  Pcs out;
  out.from_debug_info = unwind_with_debug_info(image, m, eip, at_entry, most, out);
  if (!out.from_debug_info) {
    out = Pcs{};
    from_frame_pointers(m, eip, at_entry, most, out);
  }
  return out;
}

Backtrace Backtrace::resolve(const Image& image, const Pcs& pcs) {
  Backtrace bt;
  bt.from_debug_info = pcs.from_debug_info;
  bt.cut = pcs.cut;
  elf::DebugInfo* debug = image.debug_info();
  for (size_t i = 0; i < pcs.pcs.size(); ++i) {
    if (bt.frames.size() >= kMostFrames) {
      bt.cut = true;
      break;
    }
    if (pcs.from_debug_info)
      add_frames(*debug, image, pcs.pcs[i], i > 0, bt.frames);
    else
      bt.frames.push_back({pcs.pcs[i], image.function_at(i > 0 ? pcs.pcs[i] - 1 : pcs.pcs[i]), "", 0});
  }
  if (debug) {
    bt.inlined_left_out = debug->nests_too_deep();
    bt.lines_left_out = debug->lines_left_out();
  }
  return bt;
}

Backtrace Backtrace::of(const Image& image, const Machine& m, uint32_t eip, bool at_entry) {
  return resolve(image, capture(image, m, eip, at_entry, kMostFrames));
}

std::string Backtrace::where(size_t i) const {
  const Frame& f = frames[i];
  return f.file.empty() ? "" : strf("%s:%d", elf::printable(last_component(f.file)).c_str(), f.line);
}

std::string Backtrace::where_exactly(size_t i) const {
  std::string at = where(i);
  return at.empty() || frames[i].column <= 0 ? at : at + strf(":%d", frames[i].column);
}

std::string Backtrace::render(const char* title) const {
  std::string out = std::string("  ") + title + (from_debug_info ? "" : " (frame pointers; no debug information");
  if (inlined_left_out) out += from_debug_info ? " (inlined calls left out" : "; inlined calls left out";
  if (inlined_left_out) out += strf(": the debug information nests deeper than %zu", elf::DebugInfo::kDeepestScopes);
  out += from_debug_info && !inlined_left_out ? ":\n" : "):\n";
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    // Names are the image's: escaped, so that none can forge a line or reach the terminal as a control.
    out += strf("    #%zu 0x%08x in %s", i, f.pc, f.function.empty() ? "?" : elf::printable(f.function).c_str());
    std::string at = where(i);
    if (!at.empty()) out += " (" + at + ")";
    out += "\n";
  }
  if (cut) out += strf("    (cut at %zu frames)\n", kMostFrames);
  if (lines_left_out)
    out += strf("    (source lines left out: the image's line programs exceed %llu KiB, or their file names %llu KiB)\n",
                static_cast<unsigned long long>(elf::DebugInfo::kMostLineBytes >> 10),
                static_cast<unsigned long long>(elf::DebugInfo::kMostPathBytes >> 10));
  if (!from_debug_info && frames.size() == 1 && !lines_left_out)
    out += "    (no caller found: the image has no debug information and this code keeps no frame pointers; build "
           "with -g)\n";
  return out;
}

}  // namespace tavik
