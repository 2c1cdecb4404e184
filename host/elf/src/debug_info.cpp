// DebugInfo: one libdwfl session per image, its module reported from memory; the unwinder attached once and fed
// each time by the caller's registers and memory.
#include "tavik/elf/debug_info.hpp"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <gelf.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "line_program_cost.hpp"

namespace tavik::elf {

struct DebugInfo::Session {
  std::vector<uint8_t> bytes;  // libelf may write into what it reads from memory
  Dwfl* dwfl = nullptr;
  Dwfl_Module* mod = nullptr;
  Dwarf* dw = nullptr;
  bool attached = false;
  std::map<Dwarf_Off, bool> shallow;  // compile units by offset: whether their entries nest shallowly enough
  bool too_deep = false;
  LineSections sections;
  std::map<Dwarf_Word, bool> affordable;  // line programs by offset: whether they are given to libdw
  uint64_t line_bytes_left = kMostLineBytes, path_bytes_left = kMostPathBytes;
  bool lines_left_out = false;
  // The unwind in progress.
  const Registers* regs = nullptr;
  const ReadWord* read = nullptr;
  bool thread_given = false;
  std::vector<UnwoundPc>* out = nullptr;
  size_t most = 0;
};

namespace {

using Session = DebugInfo::Session;

pid_t next_thread(Dwfl*, void* arg, void** thread_arg) {
  auto* s = static_cast<Session*>(arg);
  if (s->thread_given) return 0;
  s->thread_given = true;
  *thread_arg = arg;
  return 1;
}

bool memory_read(Dwfl*, Dwarf_Addr addr, Dwarf_Word* result, void* arg) {
  auto* s = static_cast<Session*>(arg);
  uint32_t word;
  if (addr > 0xFFFFFFFCull || !(*s->read)(static_cast<uint32_t>(addr), word)) return false;
  *result = word;
  return true;
}

bool set_initial_registers(Dwfl_Thread* thread, void* arg) {
  auto* s = static_cast<Session*>(arg);
  Dwarf_Word regs[9];
  for (size_t i = 0; i < 9; ++i) regs[i] = (*s->regs)[i];
  return dwfl_thread_state_registers(thread, 0, 9, regs);
}

const Dwfl_Thread_Callbacks kThreadCallbacks = {next_thread, nullptr, memory_read, set_initial_registers,
                                                nullptr, nullptr};

int on_frame(Dwfl_Frame* frame, void* arg) {
  auto* s = static_cast<Session*>(arg);
  Dwarf_Addr pc;
  bool activation = false;
  if (!dwfl_frame_pc(frame, &pc, &activation) || pc > 0xFFFFFFFFull) return DWARF_CB_ABORT;
  s->out->push_back({static_cast<uint32_t>(pc), !activation});
  return s->out->size() < s->most ? DWARF_CB_OK : DWARF_CB_ABORT;
}

// Whether no entry of the compile unit lies deeper than the limit, found without recursion (siblings are skipped
// by libdw in a loop), so that a hostile nest costs the walk and no stack.
bool nests_shallowly(Dwarf_Die* cu, size_t deepest) {
  std::vector<Dwarf_Die> path(1);
  if (dwarf_child(cu, &path[0]) != 0) return true;
  for (;;) {
    if (path.size() > deepest) return false;
    Dwarf_Die child;
    if (dwarf_child(&path.back(), &child) == 0) {
      path.push_back(child);
      continue;
    }
    // A leaf: on to the next sibling at the deepest level that has one.
    Dwarf_Die next;
    while (dwarf_siblingof(&path.back(), &next) != 0) {
      path.pop_back();
      if (path.empty()) return true;
    }
    path.back() = next;
  }
}

// A DWARF section's bytes as libdw sees them (decompressed when it had to), or none.
std::span<const uint8_t> section_named(Elf* elf, const char* wanted) {
  size_t names;
  if (!elf || elf_getshdrstrndx(elf, &names) != 0) return {};
  for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(elf, scn)) != nullptr;) {
    GElf_Shdr header;
    const char* name = gelf_getshdr(scn, &header) ? elf_strptr(elf, names, header.sh_name) : nullptr;
    if (!name || std::strcmp(name, wanted) != 0 || header.sh_type == SHT_NOBITS) continue;
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (!data || !data->d_buf) return {};
    return {static_cast<const uint8_t*>(data->d_buf), data->d_size};
  }
  return {};
}

}  // namespace

DebugInfo::DebugInfo(std::vector<uint8_t> bytes, const std::string& label) : s_(std::make_unique<Session>()) {
  static const Dwfl_Callbacks callbacks = {nullptr, nullptr, dwfl_offline_section_address, nullptr};
  s_->bytes = std::move(bytes);
  if (s_->bytes.empty()) return;
  s_->dwfl = dwfl_begin(&callbacks);
  if (!s_->dwfl) return;
  dwfl_report_begin(s_->dwfl);
  s_->mod = dwfl_report_offline_memory(s_->dwfl, label.c_str(), label.c_str(),
                                       reinterpret_cast<char*>(s_->bytes.data()), s_->bytes.size());
  dwfl_report_end(s_->dwfl, nullptr, nullptr);
  Dwarf_Addr bias = 0;
  if (s_->mod) s_->dw = dwfl_module_getdwarf(s_->mod, &bias);
  Elf* elf = s_->dw ? dwarf_getelf(s_->dw) : nullptr;
  s_->sections = {section_named(elf, ".debug_line"), section_named(elf, ".debug_line_str"),
                  section_named(elf, ".debug_str")};
}

DebugInfo::~DebugInfo() {
  if (s_->dwfl) dwfl_end(s_->dwfl);
}

Dwarf* DebugInfo::dwarf() const { return s_->dw; }

bool DebugInfo::lines_affordable(uint64_t cu_offset) const {
  Dwarf_Die die;
  Dwarf_Die* cu = s_->dw ? dwarf_offdie(s_->dw, cu_offset, &die) : nullptr;
  Dwarf_Attribute attr;
  Dwarf_Word offset;
  if (!cu || dwarf_formudata(dwarf_attr(cu, DW_AT_stmt_list, &attr), &offset) != 0) return true;  // none to read
  auto [known, fresh] = s_->affordable.try_emplace(offset, false);
  if (!fresh) return known->second;
  const char* comp_dir = dwarf_formstring(dwarf_attr(cu, DW_AT_comp_dir, &attr));
  LineProgramCost cost = line_program_cost(s_->sections, offset, comp_dir ? comp_dir : "");
  known->second = cost.readable && cost.bytes <= s_->line_bytes_left && cost.path_bytes <= s_->path_bytes_left;
  if (!known->second) {
    s_->lines_left_out = true;
    return false;
  }
  s_->line_bytes_left -= cost.bytes;
  s_->path_bytes_left -= cost.path_bytes;
  return true;
}

bool DebugInfo::lines_left_out() const { return s_->lines_left_out; }

bool DebugInfo::line_at(uint32_t addr, std::string& file, int& line, int* column) const {
  Dwarf_Addr bias = 0;
  Dwarf_Die* cu = s_->mod ? dwfl_module_addrdie(s_->mod, addr, &bias) : nullptr;
  if (!cu || !lines_affordable(dwarf_dieoffset(cu))) return false;
  Dwfl_Line* found = dwfl_module_getsrc(s_->mod, addr);
  const char* name = found ? dwfl_lineinfo(found, nullptr, &line, column, nullptr, nullptr) : nullptr;
  if (!name) return false;
  file = name;
  return true;
}

std::vector<InlinedCall> DebugInfo::inlined_at(uint32_t addr) const {
  std::vector<InlinedCall> calls;
  Dwarf_Addr bias = 0;
  Dwarf_Die* cu = s_->mod ? dwfl_module_addrdie(s_->mod, addr, &bias) : nullptr;
  if (!cu) return calls;
  auto [known, fresh] = s_->shallow.try_emplace(dwarf_dieoffset(cu), false);
  if (fresh) known->second = nests_shallowly(cu, kDeepestScopes);
  if (!known->second) {
    s_->too_deep = true;
    return calls;
  }
  Dwarf_Die* scopes = nullptr;
  int n = dwarf_getscopes(cu, addr - bias, &scopes);
  for (int i = 0; i < n; ++i) {
    if (dwarf_tag(&scopes[i]) != DW_TAG_inlined_subroutine) continue;
    Dwarf_Die origin;
    Dwarf_Attribute attr;
    const char* name = dwarf_attr_integrate(&scopes[i], DW_AT_abstract_origin, &attr) &&
                               dwarf_formref_die(&attr, &origin)
                           ? dwarf_diename(&origin)
                           : nullptr;
    Dwarf_Word call_line = 0;
    dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_line, &attr), &call_line);
    calls.push_back({name ? name : "?", static_cast<int>(call_line)});
  }
  free(scopes);
  return calls;
}

bool DebugInfo::nests_too_deep() const { return s_->too_deep; }

std::vector<UnwoundPc> DebugInfo::unwind(const Registers& regs, const ReadWord& read, size_t most) {
  std::vector<UnwoundPc> out;
  if (!s_->mod || most == 0) return out;
  // libdwfl takes one process per session: attached once, then each unwind hands it the registers anew.
  if (!s_->attached) s_->attached = dwfl_attach_state(s_->dwfl, nullptr, 1, &kThreadCallbacks, s_.get());
  if (!s_->attached) return out;
  s_->regs = &regs;
  s_->read = &read;
  s_->out = &out;
  s_->most = most;
  s_->thread_given = false;
  dwfl_getthread_frames(s_->dwfl, 1, on_frame, s_.get());
  s_->regs = nullptr;
  s_->read = nullptr;
  s_->out = nullptr;
  return out;
}

}  // namespace tavik::elf
