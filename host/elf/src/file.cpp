// File: an ELF file read whole through libelf, with every size and offset checked against the file.
#include "tavik/elf/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <gelf.h>
#include <libelf.h>

namespace tavik::elf {
namespace {

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string libelf_error(const std::string& what) { return what + ": " + elf_errmsg(-1); }

// The bytes [offset, offset + size) must lie inside a file of file_size bytes; sizes are 32-bit, so 64-bit sums
// cannot wrap.
void require_in_file(uint64_t offset, uint64_t size, uint64_t file_size, const std::string& what) {
  if (offset > file_size || size > file_size - offset)
    throw Error("truncated: " + what + " at " + hex(offset) + " (" + hex(size) + " bytes) runs past the end of "
                "the file (" + hex(file_size) + " bytes)");
}

// libelf hands out headers in place, at whatever alignment the file gives them: copy before reading fields.
template <typename T>
T copy_of(const void* in_place, size_t index = 0) {
  T value;
  std::memcpy(&value, static_cast<const char*>(in_place) + index * sizeof(T), sizeof value);
  return value;
}

struct ElfDeleter {
  void operator()(Elf* elf) const { elf_end(elf); }
};

}  // namespace

// Walks the file with libelf once and copies out everything it offers; libelf's handle lives only here.
class File::Reader {
 public:
  explicit Reader(File& file) : f_(file) {}

  void read() {
    check_ident();
    check_program_table();
    try {
      check_section_table();
    } catch (const Error& e) {
      f_.section_fault_ = e.what();
    }
    if (elf_version(EV_CURRENT) == EV_NONE) throw Error(libelf_error("libelf"));
    elf_.reset(elf_memory(reinterpret_cast<char*>(f_.bytes_.data()), f_.bytes_.size()));
    if (!elf_) throw Error(libelf_error("libelf cannot read the file"));
    if (elf_kind(elf_.get()) != ELF_K_ELF) throw Error("not an ELF file");
    read_header();
    read_segments();
    if (!f_.section_fault_.empty()) return;
    try {
      read_sections();
      read_symbols();
    } catch (const Error& e) {
      f_.section_fault_ = e.what();
      f_.sections_.clear();
      f_.symbols_.clear();
      f_.has_symtab_ = false;
    }
  }

 private:
  uint64_t size() const { return f_.bytes_.size(); }
  Elf32_Ehdr ehdr() const { return copy_of<Elf32_Ehdr>(f_.bytes_.data()); }

  // What libelf would only report vaguely is said plainly here: the magic, the class and the byte order.
  void check_ident() const {
    const auto& bytes = f_.bytes_;
    if (bytes.size() < 4 || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) throw Error("not an ELF file");
    if (bytes.size() < sizeof(Elf32_Ehdr))
      throw Error("truncated: the file has " + std::to_string(bytes.size()) + " bytes, the ELF header needs " +
                  std::to_string(sizeof(Elf32_Ehdr)));
    if (bytes[EI_CLASS] != ELFCLASS32) throw Error("not a 32-bit ELF file (class " + std::to_string(bytes[EI_CLASS]) + ")");
    if (bytes[EI_DATA] != ELFDATA2LSB)
      throw Error("not a little-endian ELF file (data " + std::to_string(bytes[EI_DATA]) + ")");
  }

  // A header table of count entries at offset: entries of the expected size, wholly inside the file.
  void require_table(uint64_t offset, uint64_t count, size_t entsize, size_t expected, const std::string& what) const {
    if (entsize != expected)
      throw Error(what + " entries are " + std::to_string(entsize) + " bytes, expected " + std::to_string(expected));
    require_in_file(offset, count * expected, size(), "the " + what + " table");
  }

  // libelf answers a header table outside the file with "no sections" or "invalid data"; say which table it is.
  void check_program_table() const {
    Elf32_Ehdr h = ehdr();
    if (h.e_phnum != 0) require_table(h.e_phoff, h.e_phnum, h.e_phentsize, sizeof(Elf32_Phdr), "program header");
  }

  void check_section_table() const {
    Elf32_Ehdr h = ehdr();
    if (h.e_shoff == 0) return;
    uint64_t count = h.e_shnum;
    if (count == 0) {
      // More sections than the header's field holds: the count is in section 0's size.
      require_table(h.e_shoff, 1, h.e_shentsize, sizeof(Elf32_Shdr), "section header");
      count = copy_of<Elf32_Shdr>(f_.bytes_.data() + h.e_shoff).sh_size;
    }
    require_table(h.e_shoff, count, h.e_shentsize, sizeof(Elf32_Shdr), "section header");
  }

  void read_header() {
    const Elf32_Ehdr* in_place = elf32_getehdr(elf_.get());
    if (!in_place) throw Error(libelf_error("ELF header"));
    const Elf32_Ehdr h = copy_of<Elf32_Ehdr>(in_place);
    Header& header = f_.header_;
    std::memcpy(header.ident.data(), h.e_ident, EI_NIDENT);
    header.type = h.e_type;
    header.machine = h.e_machine;
    header.version = h.e_version;
    header.entry = h.e_entry;
  }

  void read_segments() {
    size_t count = 0;
    if (elf_getphdrnum(elf_.get(), &count) != 0) throw Error(libelf_error("program headers"));
    if (count == 0) return;
    const Elf32_Phdr* phdrs = elf32_getphdr(elf_.get());
    if (!phdrs) throw Error(libelf_error("program headers"));
    for (size_t i = 0; i < count; i++) {
      const Elf32_Phdr p = copy_of<Elf32_Phdr>(phdrs, i);
      require_in_file(p.p_offset, p.p_filesz, size(), "segment " + std::to_string(i));
      f_.segments_.push_back({p.p_type, p.p_flags, p.p_offset, p.p_vaddr, p.p_filesz, p.p_memsz, p.p_align});
    }
  }

  void read_sections() {
    size_t count = 0;
    if (elf_getshdrnum(elf_.get(), &count) != 0) throw Error(libelf_error("section headers"));
    if (count == 0) return;
    size_t names = 0;
    if (elf_getshdrstrndx(elf_.get(), &names) != 0) throw Error(libelf_error("section name table"));
    if (names == SHN_UNDEF || names >= count)
      throw Error("section name table index " + std::to_string(names) + " is not a section (" + std::to_string(count) +
                  " sections)");
    // Headers and bounds first, so that the name table is known to be inside the file before a name is read.
    std::vector<Section>& sections = f_.sections_;
    std::vector<uint32_t> name_offsets;
    for (size_t i = 0; i < count; i++) {
      Elf_Scn* scn = elf_getscn(elf_.get(), i);
      const Elf32_Shdr* in_place = scn ? elf32_getshdr(scn) : nullptr;
      if (!in_place) throw Error(libelf_error("section " + std::to_string(i)));
      const Elf32_Shdr s = copy_of<Elf32_Shdr>(in_place);
      if (s.sh_type != SHT_NOBITS && s.sh_type != SHT_NULL)
        require_in_file(s.sh_offset, s.sh_size, size(), "section " + std::to_string(i));
      if (s.sh_link >= count && s.sh_link < SHN_LORESERVE)
        throw Error("section " + std::to_string(i) + ": link " + std::to_string(s.sh_link) + " is not a section");
      name_offsets.push_back(s.sh_name);
      sections.push_back({i, "", s.sh_type, s.sh_flags, s.sh_addr, s.sh_offset, s.sh_size, s.sh_addralign,
                          s.sh_entsize, s.sh_link});
    }
    if (sections[names].type != SHT_STRTAB)
      throw Error("section name table (section " + std::to_string(names) + ") is not a string table");
    for (Section& section : sections)
      section.name = string_at(names, name_offsets[section.index], "section " + std::to_string(section.index));
  }

  // A string from a string table: libelf refuses offsets outside the table and unterminated ends; the view is of
  // the file's own bytes.
  std::string_view string_at(size_t table, uint32_t offset, const std::string& what) const {
    const char* text = elf_strptr(elf_.get(), table, offset);
    if (!text)
      throw Error(what + ": name offset " + hex(offset) + " is outside its string table (section " +
                  std::to_string(table) + ")");
    const char* in_file = reinterpret_cast<const char*>(f_.bytes_.data()) + f_.sections_[table].offset + offset;
    return std::string_view(in_file, std::strlen(text));
  }

  void read_symbols() {
    const auto& sections = f_.sections_;
    const Section* symtab = nullptr;
    for (const Section& section : sections)
      if (section.type == SHT_SYMTAB) symtab = &section;
    if (!symtab) return;
    if (symtab->entsize != sizeof(Elf32_Sym) || symtab->size % sizeof(Elf32_Sym) != 0)
      throw Error("symbol table: entries of " + std::to_string(symtab->entsize) + " bytes in " +
                  std::to_string(symtab->size) + " bytes, expected a multiple of " + std::to_string(sizeof(Elf32_Sym)));
    if (symtab->link == SHN_UNDEF || symtab->link >= sections.size() || sections[symtab->link].type != SHT_STRTAB)
      throw Error("symbol table: link " + std::to_string(symtab->link) + " is not a string table");
    Elf_Data* data = elf_getdata(elf_getscn(elf_.get(), symtab->index), nullptr);
    if (!data) throw Error(libelf_error("symbol table"));
    if (data->d_size != symtab->size)
      throw Error("symbol table: libelf delivered " + std::to_string(data->d_size) + " bytes of " +
                  std::to_string(symtab->size));
    size_t count = data->d_size / sizeof(Elf32_Sym);
    for (size_t i = 0; i < count; i++) {
      Elf32_Sym sym = copy_of<Elf32_Sym>(data->d_buf, i);
      std::string_view name = string_at(symtab->link, sym.st_name, "symbol " + std::to_string(i));
      f_.symbols_.push_back({name, sym.st_name, sym.st_value, sym.st_size,
                             static_cast<unsigned>(ELF32_ST_BIND(sym.st_info)),
                             static_cast<unsigned>(ELF32_ST_TYPE(sym.st_info)), sym.st_shndx});
    }
    f_.symbol_strings_ = symtab->link;
    f_.has_symtab_ = true;
  }

  File& f_;
  std::unique_ptr<Elf, ElfDeleter> elf_;
};

File File::load(const std::string& path, uint64_t max_size) {
  // Non-blocking, so that a FIFO is refused instead of waited on; the size is what reading finds, since files
  // such as those of /proc say 0.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw Error("cannot open: " + std::string(std::strerror(errno)));
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Error(S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
  }
  // One byte more than the most a file may have: reading that far tells a file that is too large.
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(st.st_size, max_size)) + 1);
  size_t got = 0;
  ssize_t n = 1;
  while (n != 0 && got <= max_size) {
    if (got == bytes.size()) bytes.resize(std::min<size_t>(bytes.size() * 2, max_size + 1));
    n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    got += static_cast<size_t>(n);
  }
  int err = errno;
  ::close(fd);
  if (n < 0) throw Error("cannot read the file: " + std::string(std::strerror(err)));
  if (got > max_size) throw Error("the file has more than " + std::to_string(max_size) + " bytes, more than any tavik image");
  bytes.resize(got);
  return from_bytes(std::move(bytes), path);
}

File File::from_bytes(std::vector<uint8_t> bytes, std::string label) {
  File file;
  file.label_ = std::move(label);
  file.bytes_ = std::move(bytes);
  Reader(file).read();
  return file;
}

std::span<const uint8_t> File::contents(const Segment& segment) const {
  return std::span<const uint8_t>(bytes_).subspan(segment.offset, segment.filesz);
}

const Section* File::find_section(std::string_view name) const {
  for (const Section& section : sections_)
    if (section.name == name) return &section;
  return nullptr;
}

std::span<const uint8_t> File::contents(const Section& section) const {
  if (section.type == SHT_NOBITS || section.type == SHT_NULL) return {};
  return std::span<const uint8_t>(bytes_).subspan(section.offset, section.size);
}

std::vector<const Symbol*> File::find_symbols(std::string_view name) const {
  std::vector<const Symbol*> found;
  for (const Symbol& symbol : symbols_)
    if (symbol.name == name) found.push_back(&symbol);
  return found;
}

std::span<const uint8_t> File::symbol_strings() const {
  return has_symtab_ ? contents(sections_[symbol_strings_]) : std::span<const uint8_t>{};
}

bool File::has_debug_info() const { return find_section(".debug_line") || find_section(".debug_frame"); }

}  // namespace tavik::elf
