// Image: the loader's checks, each failing with a message that names the check and the values.
#include "image.hpp"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <cerrno>
#include <cstring>
#include <memory>

#include <unicorn/unicorn.h>

#include <tavik/abi.h>

#include "errors.hpp"
#include "strf.hpp"

namespace tavik {
namespace {

constexpr uint32_t kPage = TAVIK_PAGE_SIZE;
constexpr uint32_t kStackTop = TAVIK_STACK_TOP;

struct ElfCloser {
  void operator()(Elf* e) const { elf_end(e); }
};
using ElfPtr = std::unique_ptr<Elf, ElfCloser>;

// Images larger than the memory cap plus this much slack cannot be valid, so they are not read whole.
constexpr uint64_t kFileSlack = 64ull << 20;

void read_symbols(Elf* elf, const std::vector<uint8_t>& file, std::vector<Symbol>& out, std::string& names) {
  // Symbols only serve fault reports: a damaged table is skipped, never fatal. Names are offsets into a copy of
  // each string table, taken once: many symbols sharing one long name cost no more than the file holds.
  std::map<size_t, size_t> copied;  // string table section -> where its copy starts
  Elf_Scn* scn = nullptr;
  while ((scn = elf_nextscn(elf, scn)) != nullptr) {
    GElf_Shdr sh, strsh;
    if (gelf_getshdr(scn, &sh) == nullptr || sh.sh_type != SHT_SYMTAB) continue;
    if (sh.sh_offset > file.size() || sh.sh_size > file.size() - sh.sh_offset) continue;
    Elf_Scn* strscn = elf_getscn(elf, sh.sh_link);
    if (strscn == nullptr || gelf_getshdr(strscn, &strsh) == nullptr || strsh.sh_type != SHT_STRTAB) continue;
    if (strsh.sh_offset > file.size() || strsh.sh_size > file.size() - strsh.sh_offset) continue;
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (data == nullptr || sh.sh_entsize == 0) continue;
    auto [at, fresh] = copied.try_emplace(sh.sh_link, names.size());
    size_t base = at->second;
    if (fresh) {
      names.append(reinterpret_cast<const char*>(file.data()) + strsh.sh_offset, strsh.sh_size);
      names.push_back('\0');  // a table that does not end in a NUL still ends here
    }
    size_t count = sh.sh_size / sh.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
      GElf_Sym sym;
      if (gelf_getsym(data, static_cast<int>(i), &sym) == nullptr) break;
      int type = GELF_ST_TYPE(sym.st_info);
      if (type != STT_FUNC && type != STT_OBJECT && type != STT_NOTYPE) continue;
      if (sym.st_shndx == SHN_UNDEF || sym.st_shndx >= SHN_LORESERVE || sym.st_value == 0) continue;
      if (sym.st_name >= strsh.sh_size) continue;
      const char* name = names.data() + base + sym.st_name;
      if (*name == '\0' || name[0] == '.') continue;
      out.push_back({static_cast<uint32_t>(sym.st_value), static_cast<uint32_t>(sym.st_size),
                     static_cast<uint32_t>(base + sym.st_name)});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const Symbol& a, const Symbol& b) { return a.value < b.value; });
}

// Whether the image carries line or call-frame information (a section named .debug_line or .debug_frame).
bool has_debug_info(Elf* elf) {
  size_t names;
  if (elf_getshdrstrndx(elf, &names) != 0) return false;
  Elf_Scn* scn = nullptr;
  while ((scn = elf_nextscn(elf, scn)) != nullptr) {
    GElf_Shdr sh;
    const char* name = gelf_getshdr(scn, &sh) ? elf_strptr(elf, names, sh.sh_name) : nullptr;
    if (name && (std::strcmp(name, ".debug_line") == 0 || std::strcmp(name, ".debug_frame") == 0)) return true;
  }
  return false;
}

uint32_t perms_of(uint32_t flags) {
  uint32_t perms = UC_PROT_NONE;
  if (flags & PF_R) perms |= UC_PROT_READ;
  if (flags & PF_W) perms |= UC_PROT_WRITE | UC_PROT_READ;
  if (flags & PF_X) perms |= UC_PROT_EXEC;
  return perms;
}

}  // namespace

Image Image::load_file(const std::string& host_path, uint64_t memory_cap) {
  // Non-blocking, so that a FIFO given as the image is refused instead of waited on.
  int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw SetupError(strf("%s: cannot open: %s", host_path.c_str(), std::strerror(errno)));
  try {
    Image image = load_fd(fd, host_path, memory_cap);
    ::close(fd);
    return image;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

Image Image::load_fd(int fd, const std::string& label, uint64_t memory_cap) {
  struct stat st;
  if (fstat(fd, &st) != 0) throw SetupError(strf("%s: cannot stat: %s", label.c_str(), std::strerror(errno)));
  if (S_ISDIR(st.st_mode)) throw SetupError(strf("%s: is a directory, not an image", label.c_str()));
  if (!S_ISREG(st.st_mode)) throw SetupError(strf("%s: not a regular file", label.c_str()));
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > memory_cap + kFileSlack)
    throw SetupError(strf("%s: file of %llu bytes is larger than any image can be", label.c_str(), (unsigned long long)size));
  // The magic is checked before the file is read whole: a guest can write a large file that is no image and
  // spawn it, and that must cost no host memory.
  uint8_t magic[SELFMAG];
  ssize_t head;
  do head = ::pread(fd, magic, sizeof magic, 0);
  while (head < 0 && errno == EINTR);
  if (head >= 0 && (static_cast<size_t>(head) < SELFMAG || std::memcmp(magic, ELFMAG, SELFMAG) != 0))
    return parse(std::vector<uint8_t>(magic, magic + head), label, memory_cap);
  std::vector<uint8_t> file(size);
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, file.data() + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw SetupError(strf("%s: read failed: %s", label.c_str(), std::strerror(errno)));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  file.resize(got);
  return parse(std::move(file), label, memory_cap);
}

Image Image::parse(std::vector<uint8_t> file, const std::string& label, uint64_t memory_cap) {
  auto fail = [&](const std::string& why) { return SetupError(label + ": " + why); };
  // What a program built for another system (64-bit, position-independent, dynamically linked, with
  // thread-local data) gets besides the reason.
  const std::string hint = " (not a tavik image: link it with tavik-cc, tavik-c++ or the i386-tavik toolchain file)";
  if (file.size() < 4 || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) throw fail("not an ELF image");
  if (file.size() < EI_NIDENT) throw fail(strf("truncated: %zu bytes, no ELF identification", file.size()));
  if (file[EI_CLASS] == ELFCLASS64) throw fail("64-bit ELF image; tavik runs 32-bit images only" + hint);
  if (file[EI_CLASS] != ELFCLASS32) throw fail(strf("unknown ELF class %u", file[EI_CLASS]));
  if (file[EI_DATA] == ELFDATA2MSB) throw fail("big-endian ELF image; tavik runs little-endian images only");
  if (file[EI_DATA] != ELFDATA2LSB) throw fail(strf("unknown ELF data encoding %u", file[EI_DATA]));
  if (file[EI_VERSION] != EV_CURRENT) throw fail(strf("ELF version %u (expected 1)", file[EI_VERSION]));
  if (file.size() < sizeof(Elf32_Ehdr))
    throw fail(strf("truncated: %zu bytes, shorter than the ELF header", file.size()));

  if (elf_version(EV_CURRENT) == EV_NONE) throw fail("libelf unusable");
  ElfPtr elf(elf_memory(reinterpret_cast<char*>(file.data()), file.size()));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) throw fail(strf("unreadable ELF: %s", elf_errmsg(-1)));
  Elf32_Ehdr* eh = elf32_getehdr(elf.get());
  if (eh == nullptr) throw fail(strf("unreadable ELF header: %s", elf_errmsg(-1)));
  if (eh->e_machine != EM_386) throw fail(strf("machine %u is not Intel 80386 (3)", eh->e_machine) + hint);
  if (eh->e_type != ET_EXEC) throw fail(strf("type %u is not an executable (2)", eh->e_type) + (eh->e_type == ET_DYN ? hint : ""));
  if (eh->e_version != EV_CURRENT) throw fail(strf("ELF version %u (expected 1)", eh->e_version));
  if (eh->e_phnum == 0) throw fail("no program headers");
  if (eh->e_phentsize != sizeof(Elf32_Phdr))
    throw fail(strf("program header size %u (expected %zu)", eh->e_phentsize, sizeof(Elf32_Phdr)));
  uint64_t ph_end = uint64_t(eh->e_phoff) + uint64_t(eh->e_phnum) * sizeof(Elf32_Phdr);
  if (ph_end > file.size())
    throw fail(strf("truncated: program headers end at %llu but the file has %zu bytes", (unsigned long long)ph_end, file.size()));
  Elf32_Phdr* ph = elf32_getphdr(elf.get());
  if (ph == nullptr) throw fail(strf("unreadable program headers: %s", elf_errmsg(-1)));

  Image image;
  image.label_ = label;
  image.entry_ = eh->e_entry;
  uint64_t total = 0;
  // libelf points into the file bytes, at whatever alignment e_phoff gives: each header is copied out. What
  // marks another system's program is looked for first, so that its message is the one given.
  auto header = [&](unsigned i) {
    Elf32_Phdr p;
    std::memcpy(&p, reinterpret_cast<const char*>(ph) + i * sizeof p, sizeof p);
    return p;
  };
  for (unsigned i = 0; i < eh->e_phnum; ++i) {
    Elf32_Phdr p = header(i);
    if (p.p_type == PT_DYNAMIC || p.p_type == PT_INTERP)
      throw fail(strf("segment %u: dynamic linking is not supported (static images only)", i) + hint);
    if (p.p_type == PT_TLS) throw fail(strf("segment %u: thread-local data is not supported", i) + hint);
  }
  for (unsigned i = 0; i < eh->e_phnum; ++i) {
    Elf32_Phdr p = header(i);
    if (p.p_type != PT_LOAD) continue;
    if (p.p_filesz > p.p_memsz)
      throw fail(strf("segment %u: filesz %#x > memsz %#x", i, p.p_filesz, p.p_memsz));
    // An empty segment maps nothing (the linker emits one at 0 for an image without data).
    if (p.p_memsz == 0) continue;
    if (p.p_vaddr % kPage != 0) throw fail(strf("segment %u: address %#x not page-aligned", i, p.p_vaddr));
    if (p.p_vaddr < kPage) throw fail(strf("segment %u: address %#x lies in page 0", i, p.p_vaddr));
    uint64_t end = uint64_t(p.p_vaddr) + p.p_memsz;
    if (end > kStackTop)
      throw fail(strf("segment %u: %#x..%#llx reaches beyond %#x", i, p.p_vaddr, (unsigned long long)end, kStackTop));
    if (uint64_t(p.p_offset) + p.p_filesz > file.size())
      throw fail(strf("truncated: segment %u needs file bytes up to %#llx but the file has %#zx", i,
                             (unsigned long long)(uint64_t(p.p_offset) + p.p_filesz), file.size()));
    uint64_t rounded = (uint64_t(p.p_memsz) + kPage - 1) / kPage * kPage;
    total += rounded;
    if (total > memory_cap)
      throw fail(strf("segment %u: memsz %#x takes the image beyond the memory cap of %#llx bytes", i,
                             p.p_memsz, (unsigned long long)memory_cap));
    for (size_t j = 0; j < image.segments_.size(); ++j) {
      const Segment& s = image.segments_[j];
      uint64_t s_end = uint64_t(s.vaddr) + (uint64_t(s.memsz) + kPage - 1) / kPage * kPage;
      if (p.p_vaddr < s_end && s.vaddr < p.p_vaddr + rounded)
        throw fail(strf("segment %u (%#x..%#llx) overlaps an earlier segment (%#x..%#llx)", i,
                               p.p_vaddr, (unsigned long long)(p.p_vaddr + rounded), s.vaddr, (unsigned long long)s_end));
    }
    Segment seg{p.p_vaddr, p.p_memsz, perms_of(p.p_flags), {}};
    seg.bytes.assign(file.begin() + p.p_offset, file.begin() + p.p_offset + p.p_filesz);
    image.segments_.push_back(std::move(seg));
  }
  if (image.segments_.empty()) throw fail("no loadable segment");
  bool entry_ok = false;
  for (const Segment& s : image.segments_)
    if ((s.perms & UC_PROT_EXEC) && image.entry_ >= s.vaddr && image.entry_ - s.vaddr < s.memsz) entry_ok = true;
  if (!entry_ok) throw fail(strf("entry point %#x lies outside the code", image.entry_));
  read_symbols(elf.get(), file, image.symbols_, image.names_);
  if (has_debug_info(elf.get())) {
    elf.reset();  // it reads from file, which moves
    image.debug_file_ = std::move(file);
  }
  return image;
}

void Image::drop_segment_bytes() {
  for (Segment& s : segments_) std::vector<uint8_t>().swap(s.bytes);
}

void Image::drop_contents() {
  drop_segment_bytes();
  std::vector<uint8_t>().swap(debug_file_);
  std::vector<Symbol>().swap(symbols_);
  std::string().swap(names_);
}

std::string Image::function_at(uint32_t addr) const {
  const Symbol* s = symbol_at(addr);
  if (!s) return "";
  std::string name = names_.c_str() + s->name;
  // C++ names as the programmer wrote them.
  int status = 0;
  char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status == 0 && plain) name = plain;
  std::free(plain);
  return name;
}

const Symbol* Image::symbol_at(uint32_t addr) const {
  const Segment* seg = nullptr;
  for (const Segment& s : segments_)
    if (addr >= s.vaddr && addr - s.vaddr < s.memsz) seg = &s;
  if (seg == nullptr) return nullptr;
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), addr,
                             [](uint32_t a, const Symbol& s) { return a < s.value; });
  // The closest symbol at or below addr that contains it; a sized symbol that ends before addr does not.
  if (it == symbols_.begin()) return nullptr;
  --it;
  if (it->value < seg->vaddr || (it->size != 0 && addr - it->value >= it->size)) return nullptr;
  return &*it;
}

std::optional<uint32_t> Image::function_start(uint32_t addr) const {
  const Symbol* s = symbol_at(addr);
  return s ? std::optional<uint32_t>(s->value) : std::nullopt;
}

std::string Image::symbolise(uint32_t addr) const {
  const Symbol* s = symbol_at(addr);
  return s ? strf("%s+0x%x", names_.c_str() + s->name, addr - s->value) : "?";
}

}  // namespace tavik
