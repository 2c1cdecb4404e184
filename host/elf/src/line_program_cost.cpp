// A walk over a line program's header and opcodes that keeps nothing but sums: lengths of folder names, joined
// lengths of file names, and the unit's size. Every read is checked against the unit's end.
#include "line_program_cost.hpp"

#include <dwarf.h>

#include <cstring>
#include <vector>

namespace tavik::elf {
namespace {

// A cursor over [pos, end) that fails once and stays failed.
struct Reader {
  std::span<const uint8_t> bytes;
  uint64_t pos = 0;
  uint64_t end = 0;
  bool ok = true;

  bool has(uint64_t n) {
    if (ok && n <= end - pos) return true;
    ok = false;
    return false;
  }
  uint64_t fixed(unsigned n) {
    if (!has(n)) return 0;
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint64_t{bytes[pos + i]} << (8 * i);
    pos += n;
    return v;
  }
  uint64_t uleb() {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (!has(1)) return 0;
      uint8_t b = bytes[pos++];
      if (shift < 64) v |= uint64_t{b & 0x7fu} << shift;
      if (!(b & 0x80)) return v;
    }
  }
  void skip(uint64_t n) {
    if (has(n)) pos += n;
  }
  // A NUL-terminated string's length, the cursor past it.
  uint64_t string() {
    if (!ok || pos >= end) return ok = false, 0;
    const void* nul = std::memchr(bytes.data() + pos, 0, end - pos);
    if (!nul) return ok = false, 0;
    uint64_t n = static_cast<const uint8_t*>(nul) - (bytes.data() + pos);
    pos += n + 1;
    return n;
  }
};

// The length of the string at `offset` of a string section, or false.
bool string_at(std::span<const uint8_t> section, uint64_t offset, uint64_t& length) {
  if (offset >= section.size()) return false;
  const void* nul = std::memchr(section.data() + offset, 0, section.size() - offset);
  if (!nul) return false;
  length = static_cast<const uint8_t*>(nul) - (section.data() + offset);
  return true;
}

// One attribute of a version-5 folder or file entry: its path's length when it is DW_LNCT_path, its folder when
// DW_LNCT_directory_index. False for a form this walk does not size.
bool entry_field(Reader& r, const LineSections& s, unsigned offset_size, uint64_t content, uint64_t form,
                 uint64_t& path, uint64_t& folder) {
  uint64_t value = 0;
  switch (form) {
    case DW_FORM_string: value = r.string(); break;
    case DW_FORM_line_strp:
    case DW_FORM_strp:
      if (!string_at(form == DW_FORM_strp ? s.str : s.line_str, r.fixed(offset_size), value)) return false;
      break;
    case DW_FORM_udata: value = r.uleb(); break;
    case DW_FORM_sdata: r.uleb(); break;
    case DW_FORM_data1: value = r.fixed(1); break;
    case DW_FORM_data2: value = r.fixed(2); break;
    case DW_FORM_data4: value = r.fixed(4); break;
    case DW_FORM_data8: value = r.fixed(8); break;
    case DW_FORM_data16: r.skip(16); break;
    case DW_FORM_block: r.skip(r.uleb()); break;
    default: return false;
  }
  if (content == DW_LNCT_path) path = value;
  if (content == DW_LNCT_directory_index) folder = value;
  return r.ok;
}

// A version-5 entry table: each entry's path length and folder index.
struct Entry {
  uint64_t path = 0, folder = 0;
};
bool entry_table(Reader& r, const LineSections& s, unsigned offset_size, std::vector<Entry>& out) {
  unsigned formats = static_cast<unsigned>(r.fixed(1));
  std::vector<std::pair<uint64_t, uint64_t>> format(formats);
  for (auto& [content, form] : format) content = r.uleb(), form = r.uleb();
  uint64_t count = r.uleb();
  // Each entry takes a byte at least, or the table is a lie about its size.
  if (!r.ok || (count && (formats == 0 || count > r.end - r.pos))) return false;
  out.resize(count);
  for (Entry& e : out)
    for (auto [content, form] : format)
      if (!entry_field(r, s, offset_size, content, form, e.path, e.folder)) return false;
  return true;
}

// A file joined to its folder, as the reader stores it: folder, separator, name, terminator.
uint64_t joined(const std::vector<uint64_t>& folders, uint64_t folder, uint64_t name) {
  return (folder < folders.size() ? folders[folder] : 0) + name + 2;
}

// The opcodes after the header: the files that DW_LNE_define_file adds, joined as the header's are.
bool defined_files(Reader& r, const std::vector<uint64_t>& folders, const std::vector<uint8_t>& arg_counts,
                   uint8_t opcode_base, uint64_t& path_bytes) {
  while (r.ok && r.pos < r.end) {
    uint8_t op = static_cast<uint8_t>(r.fixed(1));
    if (op >= opcode_base) continue;  // a special opcode: one row
    if (op == DW_LNS_fixed_advance_pc) {
      r.skip(2);
    } else if (op != 0) {
      for (unsigned i = 0; i < arg_counts[op - 1]; ++i) r.uleb();
    } else {
      uint64_t length = r.uleb();
      if (!r.has(length) || length == 0) return false;
      uint64_t next = r.pos + length;
      if (r.fixed(1) == DW_LNE_define_file) {
        Reader name = r;
        name.end = next;
        uint64_t n = name.string();
        uint64_t folder = name.uleb();
        if (!name.ok) return false;
        path_bytes += joined(folders, folder, n);
      }
      r.pos = next;
    }
  }
  return r.ok;
}

}  // namespace

LineProgramCost line_program_cost(const LineSections& s, uint64_t offset, std::string_view comp_dir) {
  LineProgramCost cost;
  Reader r{s.line, offset, s.line.size()};
  if (offset >= s.line.size()) return cost;
  uint64_t length = r.fixed(4);
  unsigned offset_size = 4;
  if (length == 0xffffffffu) length = r.fixed(8), offset_size = 8;
  if (!r.has(length)) return cost;
  r.end = r.pos + length;
  cost.bytes = r.end - offset;
  unsigned version = static_cast<unsigned>(r.fixed(2));
  if (version < 2 || version > 5) return cost;
  if (version == 5) r.skip(2);  // address and segment selector sizes
  uint64_t header_length = r.fixed(offset_size);
  if (!r.has(header_length)) return cost;
  uint64_t program = r.pos + header_length;
  r.skip(version >= 4 ? 4 : 3);  // instruction length, [ops per instruction,] default_is_stmt, line base
  r.skip(1);                     // line range
  uint8_t opcode_base = static_cast<uint8_t>(r.fixed(1));
  if (!r.ok || opcode_base == 0 || !r.has(opcode_base - 1u)) return cost;
  std::vector<uint8_t> arg_counts(s.line.begin() + r.pos, s.line.begin() + r.pos + (opcode_base - 1));
  r.skip(opcode_base - 1u);

  std::vector<uint64_t> folders;
  if (version < 5) {
    folders.push_back(comp_dir.size());
    for (uint64_t n; r.ok && (n = r.string()) != 0;) folders.push_back(n);
    for (uint64_t n; r.ok && (n = r.string()) != 0;) {
      uint64_t folder = r.uleb();
      r.uleb(), r.uleb();  // time, size
      cost.path_bytes += joined(folders, folder, n);
    }
  } else {
    std::vector<Entry> entries;
    if (!entry_table(r, s, offset_size, entries)) return cost;
    for (const Entry& e : entries) folders.push_back(e.path);
    if (!entry_table(r, s, offset_size, entries)) return cost;
    for (const Entry& e : entries) cost.path_bytes += joined(folders, e.folder, e.path);
  }
  if (!r.ok || r.pos > program) return cost;
  r.pos = program;
  cost.readable = defined_files(r, folders, arg_counts, opcode_base, cost.path_bytes);
  return cost;
}

}  // namespace tavik::elf
