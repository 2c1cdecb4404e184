// Image: the loader's checks over the shared reader, each failing with a message that names the check and the
// values.
#include "cpu/image.hpp"

#include <elf.h>
#include <fcntl.h>
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
#include <tavik/elf/debug_info.hpp>
#include <tavik/elf/file.hpp>

#include "base/errors.hpp"
#include "base/strf.hpp"

namespace tavik {
namespace {

constexpr uint32_t kPage = TAVIK_PAGE_SIZE;
constexpr uint32_t kStackTop = TAVIK_STACK_TOP;

// Images larger than the memory cap plus this much slack cannot be valid, so they are not read whole.
constexpr uint64_t kFileSlack = 64ull << 20;

// Symbols only serve fault reports: a damaged table leaves none, never fails the load. Names are offsets into
// one copy of the symbol string table: many symbols sharing one long name cost no more than the file holds.
void read_symbols(const elf::File& file, std::vector<Symbol>& out, std::string& names) {
  if (!file.has_symtab()) return;
  std::span<const uint8_t> strings = file.symbol_strings();
  names.assign(reinterpret_cast<const char*>(strings.data()), strings.size());
  names.push_back('\0');  // a table that does not end in a NUL still ends here
  for (const elf::Symbol& sym : file.symbols()) {
    if (sym.type != STT_FUNC && sym.type != STT_OBJECT && sym.type != STT_NOTYPE) continue;
    if (sym.shndx == SHN_UNDEF || sym.shndx >= SHN_LORESERVE || sym.value == 0) continue;
    if (sym.name.empty() || sym.name[0] == '.') continue;
    out.push_back({sym.value, sym.size, sym.name_offset, sym.bind == STB_LOCAL});
  }
  std::stable_sort(out.begin(), out.end(), [](const Symbol& a, const Symbol& b) { return a.value < b.value; });
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
  return parse(read_file(host_path, memory_cap), host_path, memory_cap);
}

std::vector<uint8_t> Image::read_file(const std::string& host_path, uint64_t memory_cap) {
  // Non-blocking, so that a FIFO given as the image is refused instead of waited on.
  int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw SetupError(strf("%s: cannot open: %s", host_path.c_str(), std::strerror(errno)));
  try {
    std::vector<uint8_t> file = read_fd(fd, host_path, memory_cap);
    ::close(fd);
    return file;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

Image Image::load_fd(int fd, const std::string& label, uint64_t memory_cap) {
  return parse(read_fd(fd, label, memory_cap), label, memory_cap);
}

std::vector<uint8_t> Image::read_fd(int fd, const std::string& label, uint64_t memory_cap) {
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
    return std::vector<uint8_t>(magic, magic + head);
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
  return file;
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

  std::optional<elf::File> read;
  try {
    read.emplace(elf::File::from_bytes(std::move(file), label));
  } catch (const elf::Error& e) {
    throw fail(e.what());
  }
  const elf::Header& eh = read->header();
  if (eh.machine != EM_386) throw fail(strf("machine %u is not Intel 80386 (3)", eh.machine) + hint);
  if (eh.type != ET_EXEC) throw fail(strf("type %u is not an executable (2)", eh.type) + (eh.type == ET_DYN ? hint : ""));
  if (eh.version != EV_CURRENT) throw fail(strf("ELF version %u (expected 1)", eh.version));
  const std::vector<elf::Segment>& headers = read->segments();
  if (headers.empty()) throw fail("no program headers");

  Image image;
  image.label_ = label;
  image.entry_ = eh.entry;
  uint64_t total = 0;
  // What marks another system's program is looked for first, so that its message is the one given.
  for (unsigned i = 0; i < headers.size(); ++i) {
    const elf::Segment& p = headers[i];
    if (p.type == PT_DYNAMIC || p.type == PT_INTERP)
      throw fail(strf("segment %u: dynamic linking is not supported (static images only)", i) + hint);
    if (p.type == PT_TLS) throw fail(strf("segment %u: thread-local data is not supported", i) + hint);
  }
  for (unsigned i = 0; i < headers.size(); ++i) {
    const elf::Segment& p = headers[i];
    if (p.type != PT_LOAD) continue;
    if (p.filesz > p.memsz) throw fail(strf("segment %u: filesz %#x > memsz %#x", i, p.filesz, p.memsz));
    // An empty segment maps nothing (the linker emits one at 0 for an image without data).
    if (p.memsz == 0) continue;
    if (p.vaddr % kPage != 0) throw fail(strf("segment %u: address %#x not page-aligned", i, p.vaddr));
    if (p.vaddr < kPage) throw fail(strf("segment %u: address %#x lies in page 0", i, p.vaddr));
    uint64_t end = uint64_t(p.vaddr) + p.memsz;
    if (end > kStackTop)
      throw fail(strf("segment %u: %#x..%#llx reaches beyond %#x", i, p.vaddr, (unsigned long long)end, kStackTop));
    uint64_t rounded = (uint64_t(p.memsz) + kPage - 1) / kPage * kPage;
    total += rounded;
    if (total > memory_cap)
      throw fail(strf("segment %u: memsz %#x takes the image beyond the memory cap of %#llx bytes", i, p.memsz,
                      (unsigned long long)memory_cap));
    for (const Segment& s : image.segments_) {
      uint64_t s_end = uint64_t(s.vaddr) + (uint64_t(s.memsz) + kPage - 1) / kPage * kPage;
      if (p.vaddr < s_end && s.vaddr < p.vaddr + rounded)
        throw fail(strf("segment %u (%#x..%#llx) overlaps an earlier segment (%#x..%#llx)", i, p.vaddr,
                        (unsigned long long)(p.vaddr + rounded), s.vaddr, (unsigned long long)s_end));
    }
    std::span<const uint8_t> bytes = read->contents(p);
    image.segments_.push_back({p.vaddr, p.memsz, perms_of(p.flags), {bytes.begin(), bytes.end()}});
  }
  if (image.segments_.empty()) throw fail("no loadable segment");
  bool entry_ok = false;
  for (const Segment& s : image.segments_)
    if ((s.perms & UC_PROT_EXEC) && image.entry_ >= s.vaddr && image.entry_ - s.vaddr < s.memsz) entry_ok = true;
  if (!entry_ok) throw fail(strf("entry point %#x lies outside the code", image.entry_));
  read_symbols(*read, image.symbols_, image.names_);
  if (read->has_debug_info()) image.debug_file_ = read->take_bytes();
  return image;
}

void Image::drop_segment_bytes() {
  for (Segment& s : segments_) std::vector<uint8_t>().swap(s.bytes);
}

Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;
Image::~Image() = default;

elf::DebugInfo* Image::debug_info() const {
  if (!debug_ && !debug_file_.empty()) debug_ = std::make_unique<elf::DebugInfo>(std::move(debug_file_), label_);
  return debug_.get();
}

void Image::drop_contents() {
  drop_segment_bytes();
  debug_.reset();
  std::vector<uint8_t>().swap(debug_file_);
  std::vector<Symbol>().swap(symbols_);
  std::string().swap(names_);
}

namespace {

// C++ names as the programmer wrote them.
std::string demangled(const char* name) {
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && plain ? plain : name;
  std::free(plain);
  return out;
}

}  // namespace

std::string Image::function_at(uint32_t addr) const {
  const Symbol* s = symbol_at(addr);
  return s ? demangled(names_.c_str() + s->name) : "";
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

std::optional<uint32_t> Image::function_named(const std::string& name) const {
  std::optional<Symbol> s = symbol_named(name);
  return s ? std::optional<uint32_t>(s->value) : std::nullopt;
}

std::optional<Symbol> Image::symbol_named(const std::string& name) const {
  std::optional<Symbol> found;
  for (const Symbol& s : symbols_)
    if (name == names_.c_str() + s.name && (!found || (s.local && !found->local))) found = s;
  return found;
}

std::string Image::symbolise(uint32_t addr) const {
  const Symbol* s = symbol_at(addr);
  return s ? strf("%s+0x%x", demangled(names_.c_str() + s->name).c_str(), addr - s->value) : "?";
}

}  // namespace tavik
