// ImageChecker: the layout every tavik command image must have, and the records a command must carry.
#include <algorithm>
#include <cstdarg>

#include <libelf.h>

#include "tavik/meta.hpp"

namespace tavik::meta {
namespace {

constexpr uint32_t kBase = TAVIK_LOAD_ADDRESS;
constexpr uint32_t kPage = TAVIK_PAGE_SIZE;

std::string strf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string strf(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

// A name as a message shows it: a long one is cut, so that no message grows with what a file holds.
std::string shown(std::string_view name) {
  constexpr size_t kMost = 128;
  return name.size() <= kMost ? std::string(name) : std::string(name.substr(0, kMost)) + "...";
}

std::string segment_perms(uint32_t flags) {
  std::string out;
  if (flags & PF_R) out += "R";
  if (flags & PF_W) out += out.empty() ? "W" : "+W";
  if (flags & PF_X) out += out.empty() ? "X" : "+X";
  return out.empty() ? "none" : out;
}

std::string section_flags(uint32_t flags) {
  std::string out;
  if (flags & SHF_ALLOC) out += "A";
  if (flags & SHF_WRITE) out += "W";
  if (flags & SHF_EXECINSTR) out += "X";
  if (flags & ~(SHF_ALLOC | SHF_WRITE | SHF_EXECINSTR)) out += strf("+0x%x", flags & ~(SHF_ALLOC | SHF_WRITE | SHF_EXECINSTR));
  return out.empty() ? "none" : out;
}

uint64_t align_up(uint64_t value) { return (value + kPage - 1) / kPage * kPage; }

// One allocated section as the layout wants it: its name, type, exact permission flags and segment.
struct Expected {
  std::string_view name;
  uint32_t type;
  uint32_t flags;
  size_t segment;
  bool in_every_image;
};

constexpr uint32_t kPermFlags = SHF_ALLOC | SHF_WRITE | SHF_EXECINSTR;
constexpr Expected kLayout[] = {
    {".text", SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, 0, true},
    {".rodata", SHT_PROGBITS, SHF_ALLOC, 1, true},
    {kCommandSection, SHT_PROGBITS, SHF_ALLOC, 1, false},
    {kPackageSection, SHT_PROGBITS, SHF_ALLOC, 1, false},
    {".data", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, 2, true},
    {".bss", SHT_NOBITS, SHF_ALLOC | SHF_WRITE, 2, true},
};

struct ExpectedSegment {
  uint32_t flags;
  const char* role;
};
constexpr ExpectedSegment kSegments[] = {{PF_R | PF_X, "code"}, {PF_R, "read-only data"}, {PF_R | PF_W, "data"}};

// Collects the violations of one image; each check_* covers one group of rules.
class Run {
 public:
  Run(const ElfImage& image, bool full) : image_(image), full_(full) {}

  std::vector<std::string> check() {
    check_header();
    check_segments();
    check_sections();
    check_entry_symbol();
    if (full_) {
      check_record(kCommandSection, kCommandMagic, TAVIK_COMMAND_ALIGN, TAVIK_STRING(TAVIK_COMMAND_SYMBOL));
      check_record(kPackageSection, kPackageMagic, TAVIK_PACKAGE_ALIGN, TAVIK_STRING(TAVIK_PACKAGE_SYMBOL));
    }
    return std::move(violations_);
  }

 private:
  void fail(std::string text) { violations_.push_back(std::move(text)); }

  void check_header() {
    const Header& h = image_.header();
    if (h.ident[EI_CLASS] != ELFCLASS32) fail(strf("ELF header: class %u, expected 1 (32-bit)", h.ident[EI_CLASS]));
    if (h.ident[EI_DATA] != ELFDATA2LSB) fail(strf("ELF header: data %u, expected 1 (little-endian)", h.ident[EI_DATA]));
    if (h.ident[EI_VERSION] != EV_CURRENT) fail(strf("ELF header: identification version %u, expected 1", h.ident[EI_VERSION]));
    if (h.ident[EI_OSABI] != ELFOSABI_NONE) fail(strf("ELF header: OS ABI %u, expected 0 (System V)", h.ident[EI_OSABI]));
    if (h.type != ET_EXEC) fail(strf("ELF header: type %u, expected 2 (executable)", h.type));
    if (h.machine != EM_386) fail(strf("ELF header: machine %u, expected 3 (Intel 80386)", h.machine));
    if (h.version != EV_CURRENT) fail(strf("ELF header: version %u, expected 1", h.version));
    if (h.entry != kBase) fail(strf("ELF header: entry point 0x%x, expected 0x%x", h.entry, kBase));
  }

  // Exactly three loadable segments, code, read-only data, data, each starting on the page after the previous one.
  void check_segments() {
    std::vector<const Segment*> loads;
    const auto& segments = image_.segments();
    for (size_t i = 0; i < segments.size(); i++) {
      const Segment& s = segments[i];
      if (s.type == PT_LOAD) {
        loads.push_back(&s);
        continue;
      }
      fail(strf("program header %zu: type 0x%x; a tavik image has loadable segments only", i, s.type));
    }
    if (loads.size() != 3) fail(strf("%zu loadable segments, expected 3 (code, read-only data, data)", loads.size()));
    uint64_t previous_end = 0;
    for (size_t i = 0; i < loads.size(); i++) {
      const Segment& s = *loads[i];
      if (i < 3 && s.flags != kSegments[i].flags)
        fail(strf("segment %zu (%s): permissions %s, expected %s", i, kSegments[i].role, segment_perms(s.flags).c_str(),
                  segment_perms(kSegments[i].flags).c_str()));
      if (s.align != kPage) fail(strf("segment %zu: alignment 0x%x, expected 0x%x", i, s.align, kPage));
      if (s.vaddr % kPage != 0) fail(strf("segment %zu: address 0x%x is not on a %u-byte boundary", i, s.vaddr, kPage));
      if (s.offset % kPage != s.vaddr % kPage)
        fail(strf("segment %zu: file offset 0x%x and address 0x%x differ modulo %u", i, s.offset, s.vaddr, kPage));
      if (s.filesz > s.memsz) fail(strf("segment %zu: file size 0x%x exceeds memory size 0x%x", i, s.filesz, s.memsz));
      if (i == 0 && s.vaddr != kBase) fail(strf("segment 0: address 0x%x, expected 0x%x", s.vaddr, kBase));
      if (i > 0 && s.vaddr != align_up(previous_end))
        fail(strf("segment %zu: address 0x%x, expected the next page after segment %zu (0x%llx)", i, s.vaddr, i - 1,
                  static_cast<unsigned long long>(align_up(previous_end))));
      if (i < 2 && s.filesz != s.memsz)
        fail(strf("segment %zu: memory size 0x%x differs from file size 0x%x", i, s.memsz, s.filesz));
      if (i == 2 && s.memsz <= s.filesz)
        fail(strf("segment 2: memory size 0x%x does not exceed file size 0x%x (no zero-filled area)", s.memsz, s.filesz));
      previous_end = uint64_t{s.vaddr} + s.memsz;
    }
    loads_ = loads;
  }

  const Expected* expected(std::string_view name) const {
    for (const Expected& e : kLayout)
      if (e.name == name) return &e;
    return nullptr;
  }

  // The allocated sections, in address order, are those of the layout, each in its segment with its permissions.
  void check_sections() {
    std::vector<const Section*> allocated;
    for (const Section& s : image_.sections()) {
      if (s.flags & SHF_TLS) fail(strf("section %s: thread-local data", shown(s.name).c_str()));
      if (s.type == SHT_DYNAMIC || s.type == SHT_DYNSYM || s.type == SHT_INIT_ARRAY || s.type == SHT_FINI_ARRAY ||
          s.type == SHT_PREINIT_ARRAY)
        fail(strf("section %s: type 0x%x has no place in a static image without constructors", shown(s.name).c_str(), s.type));
      if (s.flags & SHF_ALLOC) allocated.push_back(&s);
    }
    std::stable_sort(allocated.begin(), allocated.end(),
                     [](const Section* a, const Section* b) { return a->addr < b->addr; });

    size_t next = 0;  // position in kLayout
    for (const Section* s : allocated) {
      const Expected* e = expected(s->name);
      if (!e) {
        fail(strf("section %s: allocated at 0x%x but not part of the image layout", shown(s->name).c_str(), s->addr));
        continue;
      }
      size_t position = static_cast<size_t>(e - kLayout);
      if (position < next) fail(strf("section %s: at 0x%x, out of order", shown(s->name).c_str(), s->addr));
      next = std::max(next, position + 1);
      check_section(*s, *e);
    }
    for (const Expected& e : kLayout)
      if ((e.in_every_image || full_) && !image_.find_section(e.name))
        fail(strf("section %s: missing", std::string(e.name).c_str()));
    check_places();
  }

  void check_section(const Section& s, const Expected& e) {
    if (s.type != e.type) fail(strf("section %s: type %u, expected %u", shown(s.name).c_str(), s.type, e.type));
    if ((s.flags & kPermFlags) != e.flags)
      fail(strf("section %s: flags %s, expected %s", shown(s.name).c_str(), section_flags(s.flags).c_str(),
                section_flags(e.flags).c_str()));
    if (e.segment >= loads_.size()) return;
    const Segment& seg = *loads_[e.segment];
    uint64_t end = uint64_t{s.addr} + s.size;
    if (s.addr < seg.vaddr || end > uint64_t{seg.vaddr} + seg.memsz) {
      fail(strf("section %s: 0x%x..0x%llx lies outside segment %zu (0x%x..0x%llx)", shown(s.name).c_str(), s.addr,
                static_cast<unsigned long long>(end), e.segment, seg.vaddr,
                static_cast<unsigned long long>(uint64_t{seg.vaddr} + seg.memsz)));
      return;
    }
    if (s.type == SHT_NOBITS) return;
    if (end > uint64_t{seg.vaddr} + seg.filesz)
      fail(strf("section %s: ends at 0x%llx, past the file part of segment %zu", shown(s.name).c_str(),
                static_cast<unsigned long long>(end), e.segment));
    if (s.offset - seg.offset != s.addr - seg.vaddr)
      fail(strf("section %s: file offset 0x%x does not match its address 0x%x in segment %zu", shown(s.name).c_str(), s.offset,
                s.addr, e.segment));
  }

  // Fixed places: code at the base, read-only data and data opening their segments, .bss on a page of its own.
  void check_places() {
    auto at = [&](std::string_view name, size_t segment) {
      const Section* s = image_.find_section(name);
      if (!s || segment >= loads_.size() || s->addr == loads_[segment]->vaddr) return;
      fail(strf("section %s: at 0x%x, expected the start of segment %zu (0x%x)", shown(s->name).c_str(), s->addr, segment,
                loads_[segment]->vaddr));
    };
    at(".text", 0);
    at(".rodata", 1);
    at(".data", 2);
    const Section* bss = image_.find_section(".bss");
    const Section* data = image_.find_section(".data");
    if (bss && bss->addr % kPage != 0) fail(strf("section .bss: at 0x%x, not on a %u-byte boundary", bss->addr, kPage));
    if (bss && data && bss->addr < uint64_t{data->addr} + data->size)
      fail(strf("section .bss: at 0x%x, inside .data", bss->addr));
  }

  void check_entry_symbol() {
    if (!image_.has_symtab()) {
      fail("no symbol table: the entry point cannot be confirmed as _start");
      return;
    }
    auto found = image_.find_symbols("_start");
    if (found.size() != 1) {
      fail(strf("symbol _start: %zu definitions, expected 1", found.size()));
      return;
    }
    const Symbol& start = *found[0];
    if (start.type != STT_FUNC) fail(strf("symbol _start: type %u, expected a function", start.type));
    if (start.value != image_.header().entry)
      fail(strf("symbol _start: at 0x%x, but the entry point is 0x%x", start.value, image_.header().entry));
  }

  void check_record(std::string_view name, std::string_view magic, uint32_t align, const char* symbol_name) {
    const Section* s = image_.find_section(name);
    if (!s) return;  // reported with the layout
    const std::string where(name);
    // The permission bits are checked with the layout; no other flag (merge, strings, group...) may join them.
    if ((s->flags & kPermFlags) == SHF_ALLOC && s->flags != SHF_ALLOC)
      fail(strf("section %s: flags %s, expected A only", where.c_str(), section_flags(s->flags).c_str()));
    if (s->align != align) fail(strf("section %s: alignment %u, expected %u", where.c_str(), s->align, align));
    if (s->type != SHT_PROGBITS) return;
    try {
      Record record = parse_record(image_.contents(*s), magic);
      if (record.version != TAVIK_RECORD_VERSION)
        fail(strf("section %s: version word %u, expected %u", where.c_str(), record.version, TAVIK_RECORD_VERSION));
      if (record.strings.size() != 2)
        fail(strf("section %s: %zu strings, expected 2", where.c_str(), record.strings.size()));
      for (size_t i = 0; i < record.strings.size(); i++)
        check_record_string(where, i, record.strings[i]);
    } catch (const MetaError& e) {
      fail(where + ": " + e.what());
    }
    check_record_symbol(*s, symbol_name);
  }

  void check_record_string(const std::string& where, size_t index, const std::string& text) {
    if (text.empty()) fail(strf("section %s: string %zu is empty", where.c_str(), index));
    for (unsigned char c : text) {
      if (c >= 0x20 && c < 0x7f) continue;
      fail(strf("section %s: string %zu holds byte 0x%02x, outside printable ASCII", where.c_str(), index, c));
      return;
    }
  }

  void check_record_symbol(const Section& s, const char* name) {
    if (!image_.has_symtab()) return;  // reported with the entry point
    auto found = image_.find_symbols(name);
    if (found.size() != 1) {
      fail(strf("symbol %s: %zu definitions, expected 1", name, found.size()));
      return;
    }
    const Symbol& sym = *found[0];
    if (sym.bind != STB_LOCAL) fail(strf("symbol %s: binding %u, expected local", name, sym.bind));
    if (sym.type != STT_OBJECT) fail(strf("symbol %s: type %u, expected a data object", name, sym.type));
    if (sym.size != s.size) fail(strf("symbol %s: size %u, expected %u (the record)", name, sym.size, s.size));
    if (sym.shndx != s.index || sym.value != s.addr)
      fail(strf("symbol %s: at 0x%x in section %u, expected the start of %s (0x%x)", name, sym.value, sym.shndx,
                shown(s.name).c_str(), s.addr));
  }

  const ElfImage& image_;
  bool full_;
  std::vector<const Segment*> loads_;
  std::vector<std::string> violations_;
};

}  // namespace

std::vector<std::string> ImageChecker::check(const ElfImage& image) const {
  return Run(image, mode_ == Mode::Full).check();
}

}  // namespace tavik::meta
