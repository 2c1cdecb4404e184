// Backtrace: libdwfl over an in-memory copy of the image, its unwinder fed by the machine's registers and memory;
// the frame-pointer chain where there is no debug information or the unwinder finds nothing.
#include "backtrace.hpp"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>

#include <unicorn/unicorn.h>

#include "image.hpp"
#include "machine.hpp"
#include "strf.hpp"

namespace tavik {
namespace {

// However deep the guest's stack, or however its frames loop, a report stays short.
constexpr size_t kMostFrames = 64;

struct Unwind {
  const Machine& m;
  uint32_t eip;
  bool thread_given = false;
};

pid_t next_thread(Dwfl*, void* arg, void** thread_arg) {
  auto* u = static_cast<Unwind*>(arg);
  if (u->thread_given) return 0;
  u->thread_given = true;
  *thread_arg = arg;
  return 1;
}

bool memory_read(Dwfl*, Dwarf_Addr addr, Dwarf_Word* result, void* arg) {
  auto* u = static_cast<Unwind*>(arg);
  uint32_t word;
  if (addr > 0xFFFFFFFCull || u->m.read_bytes(static_cast<uint32_t>(addr), &word, 4) != 0) return false;
  *result = word;
  return true;
}

bool set_initial_registers(Dwfl_Thread* thread, void* arg) {
  auto* u = static_cast<Unwind*>(arg);
  // DWARF's i386 numbering: eax ecx edx ebx esp ebp esi edi, then the return address column (eip).
  const int ids[] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP,
                     UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};
  Dwarf_Word regs[9];
  for (int i = 0; i < 8; ++i) regs[i] = u->m.reg(ids[i]);
  regs[8] = u->eip;
  return dwfl_thread_state_registers(thread, 0, 9, regs);
}

const Dwfl_Thread_Callbacks kThreadCallbacks = {next_thread, nullptr, memory_read, set_initial_registers,
                                                nullptr, nullptr};

struct DwflCloser {
  void operator()(Dwfl* d) const { dwfl_end(d); }
};

// The image as libdwfl wants it, a file descriptor: a memory file holding its bytes.
int memory_file(const std::vector<uint8_t>& bytes) {
  int fd = ::memfd_create("tavik-image", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return fd;
}

// The frames at pc, innermost first: the inlined calls around it, then the function that holds them. `call`
// is false for the faulting instruction and true for a return address, which is looked up one byte back.
void add_frames(Dwfl_Module* mod, const Image& image, uint32_t pc, bool call, std::vector<Frame>& out) {
  Dwarf_Addr lookup = call ? pc - 1 : pc;
  Frame f{pc, image.function_at(static_cast<uint32_t>(lookup)), "", 0};
  if (Dwfl_Line* line = dwfl_module_getsrc(mod, lookup)) {
    int lineno = 0;
    const char* file = dwfl_lineinfo(line, nullptr, &lineno, nullptr, nullptr, nullptr);
    if (file) f.file = file, f.line = lineno;
  }
  Dwarf_Addr bias = 0;
  Dwarf_Die* cu = dwfl_module_addrdie(mod, lookup, &bias);
  Dwarf_Die* scopes = nullptr;
  int n = cu ? dwarf_getscopes(cu, lookup - bias, &scopes) : 0;
  // Each inlined call is a frame of its own, at the same pc; the line of the frame around it is the call's.
  for (int i = 0; i < n && out.size() < kMostFrames; ++i) {
    if (dwarf_tag(&scopes[i]) != DW_TAG_inlined_subroutine) continue;
    Dwarf_Die origin;
    Dwarf_Attribute attr;
    const char* name = dwarf_attr_integrate(&scopes[i], DW_AT_abstract_origin, &attr) &&
                               dwarf_formref_die(&attr, &origin)
                           ? dwarf_diename(&origin)
                           : nullptr;
    Frame inlined = f;
    inlined.function = name ? name : "?";
    out.push_back(inlined);
    Dwarf_Word call_line = 0;
    if (dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_line, &attr), &call_line) == 0)
      f.line = static_cast<int>(call_line);
  }
  free(scopes);
  if (out.size() < kMostFrames) out.push_back(f);
}

struct FrameWalk {
  Dwfl_Module* mod;
  const Image& image;
  std::vector<Frame>& out;
};

int on_frame(Dwfl_Frame* frame, void* arg) {
  auto* walk = static_cast<FrameWalk*>(arg);
  Dwarf_Addr pc;
  bool activation = false;
  if (!dwfl_frame_pc(frame, &pc, &activation) || pc > 0xFFFFFFFFull) return DWARF_CB_ABORT;
  add_frames(walk->mod, walk->image, static_cast<uint32_t>(pc), !activation, walk->out);
  return walk->out.size() < kMostFrames ? DWARF_CB_OK : DWARF_CB_ABORT;
}

bool unwind_with_debug_info(const Image& image, const Machine& m, uint32_t eip, std::vector<Frame>& out) {
  if (image.debug_file().empty()) return false;
  static const Dwfl_Callbacks callbacks = {nullptr, nullptr, dwfl_offline_section_address, nullptr};
  std::unique_ptr<Dwfl, DwflCloser> dwfl(dwfl_begin(&callbacks));
  if (!dwfl) return false;
  int fd = memory_file(image.debug_file());
  if (fd < 0) return false;
  dwfl_report_begin(dwfl.get());
  // libdwfl owns the descriptor from here.
  Dwfl_Module* mod = dwfl_report_offline(dwfl.get(), image.label().c_str(), image.label().c_str(), fd);
  dwfl_report_end(dwfl.get(), nullptr, nullptr);
  if (!mod) return false;
  Unwind u{m, eip};
  FrameWalk walk{mod, image, out};
  if (dwfl_attach_state(dwfl.get(), nullptr, 1, &kThreadCallbacks, &u))
    dwfl_getthread_frames(dwfl.get(), 1, on_frame, &walk);
  // No frame from the unwinder (no call-frame information): the faulting instruction's own line still helps.
  if (out.empty()) add_frames(mod, image, eip, false, out);
  return !out.empty() && !out[0].file.empty();
}

// The saved frame pointers: each frame holds the caller's ebp and, above it, the return address.
void from_frame_pointers(const Image& image, const Machine& m, uint32_t eip, std::vector<Frame>& out) {
  out.push_back({eip, image.function_at(eip), "", 0});
  uint32_t ebp = m.reg(UC_X86_REG_EBP);
  while (out.size() < kMostFrames) {
    uint32_t saved[2];
    if (ebp == 0 || ebp > 0xFFFFFFF7u || m.read_bytes(ebp, saved, sizeof saved) != 0 || saved[1] == 0) break;
    out.push_back({saved[1], image.function_at(saved[1] - 1), "", 0});
    if (saved[0] <= ebp) break;  // frames go up the stack; anything else is no chain
    ebp = saved[0];
  }
}

std::string last_component(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Backtrace Backtrace::of(const Image& image, const Machine& m, uint32_t eip) {
  Backtrace bt;
  bt.from_debug_info = unwind_with_debug_info(image, m, eip, bt.frames);
  if (!bt.from_debug_info) {
    bt.frames.clear();
    from_frame_pointers(image, m, eip, bt.frames);
  }
  return bt;
}

std::string Backtrace::where(size_t i) const {
  const Frame& f = frames[i];
  return f.file.empty() ? "" : strf("%s:%d", last_component(f.file).c_str(), f.line);
}

std::string Backtrace::render() const {
  std::string out = from_debug_info ? "  backtrace:\n" : "  backtrace (frame pointers; no debug information):\n";
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    out += strf("    #%zu 0x%08x in %s", i, f.pc, f.function.empty() ? "?" : f.function.c_str());
    std::string at = where(i);
    if (!at.empty()) out += " (" + at + ")";
    out += "\n";
  }
  return out;
}

}  // namespace tavik
