// ElfImage: an ELF file read whole through libelf, with every size and offset checked against the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <gelf.h>
#include <libelf.h>

#include "tavik/meta.hpp"

namespace tavik::meta {
namespace {

constexpr uint64_t kMaxFileSize = 256ull << 20;

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string libelf_error(const char* what) {
  return std::string(what) + ": " + elf_errmsg(-1);
}

// The bytes [offset, offset + size) must lie inside a file of file_size bytes; sizes are 32-bit, so 64-bit sums
// cannot wrap.
void require_in_file(uint64_t offset, uint64_t size, uint64_t file_size, const std::string& what) {
  if (offset > file_size || size > file_size - offset)
    throw MetaError("truncated: " + what + " at " + hex(offset) + " (" + hex(size) + " bytes) runs past the end of "
                    "the file (" + hex(file_size) + " bytes)");
}

// libelf hands out headers in place, at whatever alignment the file gives them: copy before reading fields.
template <typename T>
T copy_of(const T* in_place, size_t index = 0) {
  T value;
  std::memcpy(&value, reinterpret_cast<const char*>(in_place) + index * sizeof(T), sizeof value);
  return value;
}

struct ElfDeleter {
  void operator()(Elf* elf) const { elf_end(elf); }
};

}  // namespace

// Walks the file with libelf once and copies out everything the image offers; libelf's handle lives only here.
class ElfImage::Reader {
 public:
  explicit Reader(ElfImage& image) : image_(image) {}

  void read() {
    check_ident();
    check_tables();
    if (elf_version(EV_CURRENT) == EV_NONE) throw MetaError(libelf_error("libelf"));
    auto& bytes = image_.bytes_;
    elf_.reset(elf_memory(reinterpret_cast<char*>(bytes.data()), bytes.size()));
    if (!elf_) throw MetaError(libelf_error("libelf cannot read the file"));
    if (elf_kind(elf_.get()) != ELF_K_ELF) throw MetaError("not an ELF file");
    read_header();
    read_segments();
    read_sections();
    read_symbols();
  }

 private:
  uint64_t size() const { return image_.bytes_.size(); }

  // What libelf would only report vaguely is said plainly here: the magic, the class and the byte order.
  void check_ident() const {
    const auto& bytes = image_.bytes_;
    if (bytes.size() < 4 || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) throw MetaError("not an ELF file");
    if (bytes.size() < sizeof(Elf32_Ehdr))
      throw MetaError("truncated: the file has " + std::to_string(bytes.size()) + " bytes, the ELF header needs " +
                      std::to_string(sizeof(Elf32_Ehdr)));
    if (bytes[EI_CLASS] != ELFCLASS32)
      throw MetaError("not a 32-bit ELF file (class " + std::to_string(bytes[EI_CLASS]) + ")");
    if (bytes[EI_DATA] != ELFDATA2LSB)
      throw MetaError("not a little-endian ELF file (data " + std::to_string(bytes[EI_DATA]) + ")");
  }

  // libelf answers a header table outside the file with "no sections" or "invalid data"; say which table it is.
  void check_tables() const {
    Elf32_Ehdr ehdr;
    std::memcpy(&ehdr, image_.bytes_.data(), sizeof ehdr);
    if (ehdr.e_phnum != 0) {
      if (ehdr.e_phentsize != sizeof(Elf32_Phdr))
        throw MetaError("program header entries are " + std::to_string(ehdr.e_phentsize) + " bytes, expected " +
                        std::to_string(sizeof(Elf32_Phdr)));
      require_in_file(ehdr.e_phoff, uint64_t{ehdr.e_phnum} * sizeof(Elf32_Phdr), size(), "the program header table");
    }
    if (ehdr.e_shoff == 0) return;
    if (ehdr.e_shentsize != sizeof(Elf32_Shdr))
      throw MetaError("section header entries are " + std::to_string(ehdr.e_shentsize) + " bytes, expected " +
                      std::to_string(sizeof(Elf32_Shdr)));
    uint64_t count = ehdr.e_shnum;
    if (count == 0) {
      // More sections than the header's field holds: the count is in section 0's size.
      require_in_file(ehdr.e_shoff, sizeof(Elf32_Shdr), size(), "the section header table");
      Elf32_Shdr first;
      std::memcpy(&first, image_.bytes_.data() + ehdr.e_shoff, sizeof first);
      count = first.sh_size;
    }
    require_in_file(ehdr.e_shoff, count * sizeof(Elf32_Shdr), size(), "the section header table");
  }

  void read_header() {
    const Elf32_Ehdr* in_place = elf32_getehdr(elf_.get());
    if (!in_place) throw MetaError(libelf_error("ELF header"));
    const Elf32_Ehdr ehdr = copy_of(in_place);
    Header& header = image_.header_;
    std::memcpy(header.ident.data(), ehdr.e_ident, EI_NIDENT);
    header.type = ehdr.e_type;
    header.machine = ehdr.e_machine;
    header.version = ehdr.e_version;
    header.entry = ehdr.e_entry;
    phoff_ = ehdr.e_phoff;
    phentsize_ = ehdr.e_phentsize;
    shoff_ = ehdr.e_shoff;
    shentsize_ = ehdr.e_shentsize;
  }

  // A header table of count entries at offset: entries of the expected size, wholly inside the file.
  void require_table(uint64_t offset, size_t count, size_t entsize, size_t expected, const std::string& what) const {
    if (entsize != expected)
      throw MetaError(what + " entries are " + std::to_string(entsize) + " bytes, expected " +
                      std::to_string(expected));
    require_in_file(offset, uint64_t{count} * expected, size(), "the " + what + " table");
  }

  void read_segments() {
    size_t count = 0;
    if (elf_getphdrnum(elf_.get(), &count) != 0) throw MetaError(libelf_error("program headers"));
    if (count == 0) return;
    require_table(phoff_, count, phentsize_, sizeof(Elf32_Phdr), "program header");
    const Elf32_Phdr* phdrs = elf32_getphdr(elf_.get());
    if (!phdrs) throw MetaError(libelf_error("program headers"));
    for (size_t i = 0; i < count; i++) {
      const Elf32_Phdr p = copy_of(phdrs, i);
      require_in_file(p.p_offset, p.p_filesz, size(), "segment " + std::to_string(i));
      image_.segments_.push_back({p.p_type, p.p_flags, p.p_offset, p.p_vaddr, p.p_filesz, p.p_memsz, p.p_align});
    }
  }

  void read_sections() {
    size_t count = 0;
    if (elf_getshdrnum(elf_.get(), &count) != 0) throw MetaError(libelf_error("section headers"));
    if (count == 0) return;
    require_table(shoff_, count, shentsize_, sizeof(Elf32_Shdr), "section header");
    size_t names = 0;
    if (elf_getshdrstrndx(elf_.get(), &names) != 0) throw MetaError(libelf_error("section name table"));
    if (names == SHN_UNDEF || names >= count)
      throw MetaError("section name table index " + std::to_string(names) + " is not a section (" +
                      std::to_string(count) + " sections)");

    // Headers and bounds first, so that the name table is known to be inside the file before a name is read.
    std::vector<Section>& sections = image_.sections_;
    std::vector<uint32_t> name_offsets;
    for (size_t i = 0; i < count; i++) {
      Elf_Scn* scn = elf_getscn(elf_.get(), i);
      const Elf32_Shdr* in_place = scn ? elf32_getshdr(scn) : nullptr;
      if (!in_place) throw MetaError(libelf_error(("section " + std::to_string(i)).c_str()));
      const Elf32_Shdr s = copy_of(in_place);
      if (s.sh_type != SHT_NOBITS && s.sh_type != SHT_NULL)
        require_in_file(s.sh_offset, s.sh_size, size(), "section " + std::to_string(i));
      if (s.sh_link >= count && s.sh_link < SHN_LORESERVE)
        throw MetaError("section " + std::to_string(i) + ": link " + std::to_string(s.sh_link) + " is not a section");
      name_offsets.push_back(s.sh_name);
      sections.push_back({i, "", s.sh_type, s.sh_flags, s.sh_addr, s.sh_offset, s.sh_size, s.sh_addralign,
                          s.sh_entsize, s.sh_link});
    }
    if (sections[names].type != SHT_STRTAB)
      throw MetaError("section name table (section " + std::to_string(names) + ") is not a string table");
    for (Section& section : sections)
      section.name = string_at(names, name_offsets[section.index], "section " + std::to_string(section.index));
  }

  // A string from a string table: libelf refuses offsets outside the table and unterminated ends; the view is of
  // the image's own bytes.
  std::string_view string_at(size_t table, uint32_t offset, const std::string& what) const {
    const char* text = elf_strptr(elf_.get(), table, offset);
    if (!text)
      throw MetaError(what + ": name offset " + hex(offset) + " is outside its string table (section " +
                      std::to_string(table) + ")");
    const char* in_file = reinterpret_cast<const char*>(image_.bytes_.data()) + image_.sections_[table].offset + offset;
    return std::string_view(in_file, std::strlen(text));
  }

  void read_symbols() {
    const auto& sections = image_.sections_;
    const Section* symtab = nullptr;
    for (const Section& section : sections)
      if (section.type == SHT_SYMTAB) symtab = &section;
    if (!symtab) return;
    if (symtab->entsize != sizeof(Elf32_Sym) || symtab->size % sizeof(Elf32_Sym) != 0)
      throw MetaError("symbol table: entries of " + std::to_string(symtab->entsize) + " bytes in " +
                      std::to_string(symtab->size) + " bytes, expected a multiple of " +
                      std::to_string(sizeof(Elf32_Sym)));
    if (symtab->link == SHN_UNDEF || symtab->link >= sections.size() || sections[symtab->link].type != SHT_STRTAB)
      throw MetaError("symbol table: link " + std::to_string(symtab->link) + " is not a string table");
    Elf_Data* data = elf_getdata(elf_getscn(elf_.get(), symtab->index), nullptr);
    if (!data) throw MetaError(libelf_error("symbol table"));
    if (data->d_size != symtab->size) throw MetaError("symbol table: libelf delivered " +
                                                      std::to_string(data->d_size) + " bytes of " +
                                                      std::to_string(symtab->size));
    size_t count = data->d_size / sizeof(Elf32_Sym);
    for (size_t i = 0; i < count; i++) {
      Elf32_Sym sym;
      std::memcpy(&sym, static_cast<const char*>(data->d_buf) + i * sizeof sym, sizeof sym);
      std::string_view name = string_at(symtab->link, sym.st_name, "symbol " + std::to_string(i));
      image_.symbols_.push_back({name, sym.st_value, sym.st_size,
                                 static_cast<unsigned>(ELF32_ST_BIND(sym.st_info)),
                                 static_cast<unsigned>(ELF32_ST_TYPE(sym.st_info)), sym.st_shndx});
    }
    image_.has_symtab_ = true;
  }

  ElfImage& image_;
  std::unique_ptr<Elf, ElfDeleter> elf_;
  uint32_t phoff_ = 0, shoff_ = 0;
  uint16_t phentsize_ = 0, shentsize_ = 0;
};

ElfImage ElfImage::load(const std::string& path) {
  // Non-blocking, so that a FIFO is refused instead of waited on; the size is what reading finds, since files
  // such as those of /proc say 0.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw MetaError("cannot open: " + std::string(std::strerror(errno)));
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw MetaError(S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
  }
  // One byte more than the most an image may have: reading that far tells a file that is too large.
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(st.st_size, kMaxFileSize)) + 1);
  size_t got = 0;
  ssize_t n = 1;
  while (n != 0 && got <= kMaxFileSize) {
    if (got == bytes.size()) bytes.resize(std::min<size_t>(bytes.size() * 2, kMaxFileSize + 1));
    n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    got += static_cast<size_t>(n);
  }
  int err = errno;
  ::close(fd);
  if (n < 0) throw MetaError("cannot read the file: " + std::string(std::strerror(err)));
  if (got > kMaxFileSize)
    throw MetaError("the file has more than " + std::to_string(kMaxFileSize) + " bytes, more than any tavik image");
  bytes.resize(got);
  return from_bytes(std::move(bytes), path);
}

ElfImage ElfImage::from_bytes(std::vector<uint8_t> bytes, std::string label) {
  ElfImage image;
  image.label_ = std::move(label);
  image.bytes_ = std::move(bytes);
  Reader(image).read();
  return image;
}

const Section* ElfImage::find_section(std::string_view name) const {
  for (const Section& section : sections_)
    if (section.name == name) return &section;
  return nullptr;
}

std::span<const uint8_t> ElfImage::contents(const Section& section) const {
  if (section.type == SHT_NOBITS || section.type == SHT_NULL) return {};
  return std::span<const uint8_t>(bytes_).subspan(section.offset, section.size);
}

std::vector<const Symbol*> ElfImage::find_symbols(std::string_view name) const {
  std::vector<const Symbol*> found;
  for (const Symbol& symbol : symbols_)
    if (symbol.name == name) found.push_back(&symbol);
  return found;
}

}  // namespace tavik::meta
