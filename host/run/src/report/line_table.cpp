// LineTable: every compile unit's line program and subprograms, from libdw over the image's own bytes.
#include "report/line_table.hpp"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <tavik/elf/debug_info.hpp>

#include <algorithm>
#include <set>
#include <unordered_map>

#include "cpu/image.hpp"

namespace tavik {

LineTable::LineTable(const Image& image) {
  elf::DebugInfo* debug = image.debug_info();
  Dwarf* dw = debug ? debug->dwarf() : nullptr;
  if (!dw) return;
  std::unordered_map<const char*, uint32_t> known_files, known_names;  // libdw's strings: one per distinct text
  auto intern = [](std::unordered_map<const char*, uint32_t>& known, std::vector<std::string>& texts, const char* s) {
    auto [it, added] = known.emplace(s, static_cast<uint32_t>(texts.size()));
    if (added) texts.push_back(s);
    return it->second;
  };
  auto index = [&](const char* path) { return intern(known_files, files_, path); };
  std::set<Dwarf_Word> programs_read;
  Dwarf_Off off = 0, next;
  size_t header;
  while (dw && dwarf_nextcu(dw, off, &next, &header, nullptr, nullptr, nullptr) == 0) {
    Dwarf_Die cu;
    Dwarf_Attribute attr;
    Dwarf_Word program;
    Dwarf_Lines* lines;
    size_t n = 0;
    bool have_cu = dwarf_offdie(dw, off + header, &cu) != nullptr && debug->lines_affordable(off + header);
    if (have_cu && dwarf_formudata(dwarf_attr(&cu, DW_AT_stmt_list, &attr), &program) == 0 &&
        programs_read.insert(program).second && dwarf_getsrclines(&cu, &lines, &n) == 0) {
      for (size_t i = 0; i < n; ++i) {
        Dwarf_Line* line = dwarf_onesrcline(lines, i);
        Dwarf_Addr addr;
        int lineno;
        bool stmt = false, end = false;
        const char* file = dwarf_linesrc(line, nullptr, nullptr);
        if (!file || dwarf_lineaddr(line, &addr) || dwarf_lineno(line, &lineno) || addr > 0xFFFFFFFFu) continue;
        dwarf_linebeginstatement(line, &stmt);
        dwarf_lineendsequence(line, &end);
        rows_.push_back({static_cast<uint32_t>(addr), index(file), lineno, stmt, end});
      }
    }
    Dwarf_Die child;
    if (have_cu && dwarf_child(&cu, &child) == 0) {
      do {
        Dwarf_Addr low;
        const char* name = dwarf_diename(&child);
        const char* file = dwarf_decl_file(&child);
        int decl = 0;
        if (dwarf_tag(&child) != DW_TAG_subprogram || !name || !file || dwarf_lowpc(&child, &low) != 0 ||
            low > 0xFFFFFFFFu)
          continue;
        dwarf_decl_line(&child, &decl);
        functions_.push_back({intern(known_names, names_, name), index(file), decl, static_cast<uint32_t>(low)});
      } while (dwarf_siblingof(&child, &child) == 0);
    }
    off = next;
  }
  // By address; at one address an end of sequence comes first, as the sequence after it starts there.
  std::stable_sort(rows_.begin(), rows_.end(), [](const LineRow& a, const LineRow& b) {
    return a.addr != b.addr ? a.addr < b.addr : a.end_sequence > b.end_sequence;
  });
}

const LineRow* LineTable::at(uint32_t addr) const {
  auto it = std::upper_bound(rows_.begin(), rows_.end(), addr, [](uint32_t a, const LineRow& r) { return a < r.addr; });
  if (it == rows_.begin()) return nullptr;
  --it;
  return it->end_sequence || it->line <= 0 ? nullptr : &*it;
}

}  // namespace tavik
