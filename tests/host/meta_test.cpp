// tavik-meta against the images the build makes: the records byte for byte, the full check on crashprobe, the
// layout check on every other image, readelf and objdump as independent readers, and corrupt copies of crashprobe
// that must each give a clear error or violation, never a crash.
#include <tavik/meta.hpp>

#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>

#include "support/cli.hpp"

namespace {

namespace fs = std::filesystem;
using tavik::meta::ElfImage;
using tavik::meta::ImageChecker;
using tavik::meta::MetaError;

const std::string k_crashprobe = std::string(TAVIK_ROOT_DIR) + "/bin/crashprobe";

const std::string k_cmd_record("TCMD\x01\0\0\0Trigger an assertion failure (ASSERT).\0crashprobe yes\0\0", 63);
const std::string k_pkg_record("TPKG\x01\0\0\0crashprobe\0" "2\0\0", 22);

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool is_elf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  return in.read(magic, 4) && std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

// Every image of the build but crashprobe: the commands of the root and the target test programs.
std::vector<fs::path> other_images() {
  std::vector<fs::path> images;
  for (const fs::path& dir : {fs::path(TAVIK_ROOT_DIR) / "bin", fs::path(TAVIK_TARGET_BINARY_DIR) / "tests/target"})
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file() && entry.path() != fs::path(k_crashprobe) && is_elf(entry.path()))
        images.push_back(entry.path());
  return images;
}

std::string as_string(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(MetaRecords, CrashprobeCarriesBothRecordsByteForByte) {
  ElfImage image = ElfImage::load(k_crashprobe);
  auto records = tavik::meta::read_records(image);

  EXPECT_EQ(as_string(image.contents(records.command.section)), k_cmd_record);
  EXPECT_EQ(as_string(image.contents(records.package.section)), k_pkg_record);
  EXPECT_EQ(records.command.record.magic, "TCMD");
  EXPECT_EQ(records.command.record.version, 1u);
  EXPECT_EQ(records.command.record.strings,
            (std::vector<std::string>{"Trigger an assertion failure (ASSERT).", "crashprobe yes"}));
  EXPECT_EQ(records.command.record.length, 63u);
  EXPECT_EQ(records.package.record.magic, "TPKG");
  EXPECT_EQ(records.package.record.version, 1u);
  EXPECT_EQ(records.package.record.strings, (std::vector<std::string>{"crashprobe", "2"}));
  EXPECT_EQ(records.package.record.length, 22u);
  EXPECT_EQ(records.command.section.align, 32u);
  EXPECT_EQ(records.package.section.align, 4u);
}

TEST(MetaCli, PrintsTextAndJsonForEachImage) {
  tavik::test::Output text = tavik::test::run_program(TAVIK_META, {k_crashprobe});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.err, "");
  EXPECT_EQ(text.out, k_crashprobe + ":\n"
                      "  description  Trigger an assertion failure (ASSERT).\n"
                      "  usage        crashprobe yes\n"
                      "  package      crashprobe, revision 2\n");

  tavik::test::Output json = tavik::test::run_program(TAVIK_META, {"--json", k_crashprobe, k_crashprobe});
  EXPECT_EQ(json.status, 0);
  auto lines = lines_of(json.out);
  ASSERT_EQ(lines.size(), 2u);
  ElfImage image = ElfImage::load(k_crashprobe);
  for (const auto& line : lines) {
    auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j["file"], k_crashprobe);
    EXPECT_EQ(j["command"]["magic"], "TCMD");
    EXPECT_EQ(j["command"]["version"], 1);
    EXPECT_EQ(j["command"]["description"], "Trigger an assertion failure (ASSERT).");
    EXPECT_EQ(j["command"]["usage"], "crashprobe yes");
    EXPECT_EQ(j["command"]["size"], 63);
    EXPECT_EQ(j["command"]["offset"], image.find_section(".tavik.cmdmeta")->offset);
    EXPECT_EQ(j["package"]["magic"], "TPKG");
    EXPECT_EQ(j["package"]["version"], 1);
    EXPECT_EQ(j["package"]["strings"], (std::vector<std::string>{"crashprobe", "2"}));
    EXPECT_EQ(j["package"]["size"], 22);
    EXPECT_EQ(j["package"]["offset"], image.find_section(".tavik.pkgmeta")->offset);
  }

  // A bad file among good ones: the good ones are still printed, the bad one is one line on stderr.
  tavik::test::Output mixed = tavik::test::run_program(TAVIK_META, {k_crashprobe, "/nonexistent/image", TAVIK_ROOT_DIR, k_crashprobe});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(lines_of(mixed.out).size(), 8u);
  EXPECT_EQ(mixed.err, "tavik-meta: /nonexistent/image: cannot open: No such file or directory\n"
                       "tavik-meta: " TAVIK_ROOT_DIR ": is a directory\n");

  EXPECT_NE(tavik::test::run_program(TAVIK_META, {}).status, 0);
  EXPECT_NE(tavik::test::run_program(TAVIK_META, {"--layout-only", k_crashprobe}).status, 0);
}

TEST(MetaCheck, FullCheckPassesOnCrashprobeAndLayoutCheckOnEveryOtherImage) {
  EXPECT_EQ(ImageChecker(ImageChecker::Mode::Full).check(ElfImage::load(k_crashprobe)), std::vector<std::string>{});
  tavik::test::Output full = tavik::test::run_program(TAVIK_META, {"--check", k_crashprobe});
  EXPECT_EQ(full.status, 0) << full.out << full.err;
  EXPECT_EQ(full.out, k_crashprobe + ": ok\n");

  auto images = other_images();
  ASSERT_GE(images.size(), 2u) << "expected the sample command and the target test programs";
  std::vector<std::string> args{"--check", "--layout-only"};
  for (const auto& path : images) {
    SCOPED_TRACE(path.string());
    EXPECT_EQ(ImageChecker(ImageChecker::Mode::LayoutOnly).check(ElfImage::load(path.string())),
              std::vector<std::string>{});
    args.push_back(path.string());
  }
  tavik::test::Output layout = tavik::test::run_program(TAVIK_META, args);
  EXPECT_EQ(layout.status, 0) << layout.out << layout.err;
  EXPECT_EQ(lines_of(layout.out).size(), images.size());

  // Without records, the full check fails on exactly the two missing sections.
  tavik::test::Output hello = tavik::test::run_program(TAVIK_META, {"--check", std::string(TAVIK_ROOT_DIR) + "/bin/hello"});
  EXPECT_EQ(hello.status, 1);
  EXPECT_EQ(lines_of(hello.out).size(), 2u) << hello.out;
}

// readelf and objdump, which share no code with tavik-meta, must see the same sections, segments and symbols.
TEST(MetaPeer, ReadelfAndObjdumpAgreeOnSectionsSegmentsAndSymbols) {
  ElfImage image = ElfImage::load(k_crashprobe);

  tavik::test::Output sections = tavik::test::run_program("readelf", {"-SW", k_crashprobe});
  ASSERT_EQ(sections.status, 0);
  // [ 3] .tavik.cmdmeta    PROGBITS        00404240 005240 00003f 00   A  0   0 32
  std::regex row(R"(\]\s+(\S+)\s+(\S+)\s+([0-9a-f]{8}) ([0-9a-f]{6}) ([0-9a-f]{6}) [0-9a-f]{2}\s+([A-Z]*)\s+\d+\s+\d+\s+(\d+))");
  std::map<std::string, std::smatch> seen;
  std::vector<std::string> alloc_order;
  for (const auto& line : lines_of(sections.out)) {
    std::smatch m;
    if (!std::regex_search(line, m, row)) continue;
    const auto* s = image.find_section(m[1].str());
    ASSERT_NE(s, nullptr) << line;
    EXPECT_EQ(std::stoul(m[3].str(), nullptr, 16), s->addr) << line;
    EXPECT_EQ(std::stoul(m[4].str(), nullptr, 16), s->offset) << line;
    EXPECT_EQ(std::stoul(m[5].str(), nullptr, 16), s->size) << line;
    EXPECT_EQ(std::stoul(m[7].str()), s->align) << line;
    if (m[6].str().find('A') != std::string::npos) alloc_order.push_back(m[1].str() + " " + m[2].str() + " " + m[6].str());
  }
  EXPECT_EQ(alloc_order, (std::vector<std::string>{".text PROGBITS AX", ".rodata PROGBITS A",
                                                   ".tavik.cmdmeta PROGBITS A", ".tavik.pkgmeta PROGBITS A",
                                                   ".data PROGBITS WA", ".bss NOBITS WA"}));

  tavik::test::Output segments = tavik::test::run_program("readelf", {"-lW", k_crashprobe});
  std::regex load(R"(LOAD\s+0x[0-9a-f]+ (0x[0-9a-f]+) 0x[0-9a-f]+ 0x[0-9a-f]+ 0x[0-9a-f]+ (.{3}) 0x1000)");
  std::vector<std::string> loads;
  for (const auto& line : lines_of(segments.out)) {
    std::smatch m;
    if (std::regex_search(line, m, load)) loads.push_back(m[2].str());
  }
  EXPECT_EQ(loads, (std::vector<std::string>{"R E", "R  ", "RW "}));
  EXPECT_NE(segments.out.find("01     .rodata .tavik.cmdmeta .tavik.pkgmeta \n"), std::string::npos) << segments.out;

  tavik::test::Output symbols = tavik::test::run_program("readelf", {"-sW", k_crashprobe});
  for (auto [name, size, section] : {std::tuple{"g_cmdmeta_0", 63, ".tavik.cmdmeta"},
                                     std::tuple{"g_pkgmeta_0", 22, ".tavik.pkgmeta"}}) {
    std::regex sym(std::string(R"(([0-9a-f]{8})\s+(\d+) OBJECT  LOCAL  DEFAULT\s+(\d+) )") + name + "$");
    int found = 0;
    for (const auto& line : lines_of(symbols.out)) {
      std::smatch m;
      if (!std::regex_search(line, m, sym)) continue;
      found++;
      EXPECT_EQ(std::stoi(m[2].str()), size);
      EXPECT_EQ(std::stoul(m[1].str(), nullptr, 16), image.find_section(section)->addr);
      EXPECT_EQ(std::stoul(m[3].str()), image.find_section(section)->index);
    }
    EXPECT_EQ(found, 1) << name;
  }

  // objdump's hex dump of each record section, put back into bytes.
  for (auto [section, record] : {std::pair{".tavik.cmdmeta", k_cmd_record}, std::pair{".tavik.pkgmeta", k_pkg_record}}) {
    tavik::test::Output dump = tavik::test::run_program("objdump", {"-s", "-j", section, k_crashprobe});
    ASSERT_EQ(dump.status, 0);
    std::string bytes;
    std::regex hexrow(R"(^ [0-9a-f]{6} ((?:[0-9a-f]{2,8} ?){1,4}))");
    for (const auto& line : lines_of(dump.out)) {
      std::smatch m;
      if (!std::regex_search(line, m, hexrow)) continue;
      std::string hex = std::regex_replace(m[1].str(), std::regex(" "), "");
      for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    EXPECT_EQ(bytes, record) << section;
  }
}

// A writable copy of crashprobe's bytes with typed access to its headers, for making broken images.
class Corrupt {
 public:
  Corrupt() : bytes_(read_bytes(k_crashprobe)) {}

  template <typename T>
  void edit(size_t offset, const std::function<void(T&)>& change) {
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof value);
    change(value);
    std::memcpy(bytes_.data() + offset, &value, sizeof value);
  }
  void ehdr(const std::function<void(Elf32_Ehdr&)>& change) { edit<Elf32_Ehdr>(0, change); }
  void phdr(size_t i, const std::function<void(Elf32_Phdr&)>& change) {
    edit<Elf32_Phdr>(header().e_phoff + i * sizeof(Elf32_Phdr), change);
  }
  void shdr(const std::string& name, const std::function<void(Elf32_Shdr&)>& change) {
    edit<Elf32_Shdr>(header().e_shoff + index_of(name) * sizeof(Elf32_Shdr), change);
  }
  // Bytes at an offset inside a section.
  void section_bytes(const std::string& name, size_t at, const std::string& text) {
    std::memcpy(bytes_.data() + section(name).sh_offset + at, text.data(), text.size());
  }
  void symbol(const std::string& name, const std::function<void(Elf32_Sym&)>& change) {
    ElfImage image = ElfImage::from_bytes(bytes_, "copy");
    const auto* symtab = image.find_section(".symtab");
    for (size_t i = 0; i < image.symbols().size(); i++)
      if (image.symbols()[i].name == name) edit<Elf32_Sym>(symtab->offset + i * sizeof(Elf32_Sym), change);
  }
  void truncate(size_t size) { bytes_.resize(size); }
  size_t size() const { return bytes_.size(); }
  std::vector<uint8_t>& bytes() { return bytes_; }

  Elf32_Phdr segment(size_t i) const {
    Elf32_Phdr p;
    std::memcpy(&p, bytes_.data() + header().e_phoff + i * sizeof p, sizeof p);
    return p;
  }
  Elf32_Shdr section(const std::string& name) const {
    Elf32_Shdr s;
    std::memcpy(&s, bytes_.data() + header().e_shoff + index_of(name) * sizeof s, sizeof s);
    return s;
  }

  std::string save() const {
    static int serial = 0;
    fs::path path = fs::temp_directory_path() / ("tavik-meta-corrupt-" + std::to_string(getpid()) + "-" +
                                                 std::to_string(serial++));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
    return path.string();
  }

 private:
  Elf32_Ehdr header() const {
    Elf32_Ehdr h;
    std::memcpy(&h, bytes_.data(), sizeof h);
    return h;
  }
  size_t index_of(const std::string& name) const {
    ElfImage image = ElfImage::from_bytes(bytes_, "copy");
    const auto* s = image.find_section(name);
    if (!s) throw std::logic_error("no section " + name);
    return s->index;
  }

  std::vector<uint8_t> bytes_;
};

struct BrokenCase {
  const char* what;
  std::function<void(Corrupt&)> corrupt;
  const char* error;  // the line on stderr, after "tavik-meta: <path>: "
};

// Each broken file: exactly one line on stderr naming the fault, nothing on stdout, status 1, in both output forms.
TEST(MetaBroken, EachUnreadableImageGivesOneClearLine) {
  const std::vector<BrokenCase> cases = {
      {"empty file", [](Corrupt& c) { c.truncate(0); }, "not an ELF file"},
      {"text file", [](Corrupt& c) { c.truncate(4); c.bytes().assign({'t', 'e', 'x', 't'}); }, "not an ELF file"},
      {"header cut short", [](Corrupt& c) { c.truncate(40); }, "truncated: the file has 40 bytes, the ELF header needs 52"},
      {"file cut before its section headers", [](Corrupt& c) { c.truncate(c.size() / 2); }, "truncated: "},
      {"64-bit class", [](Corrupt& c) { c.ehdr([](Elf32_Ehdr& h) { h.e_ident[EI_CLASS] = ELFCLASS64; }); },
       "not a 32-bit ELF file (class 2)"},
      {"big-endian", [](Corrupt& c) { c.ehdr([](Elf32_Ehdr& h) { h.e_ident[EI_DATA] = ELFDATA2MSB; }); },
       "not a little-endian ELF file (data 2)"},
      {"section header table past the end", [](Corrupt& c) { c.ehdr([](Elf32_Ehdr& h) { h.e_shoff = 0xfffffff0; }); },
       "truncated: the section header table at 0xfffffff0"},
      {"program header table past the end", [](Corrupt& c) { c.ehdr([](Elf32_Ehdr& h) { h.e_phoff = 0x7ffffff0; }); },
       "truncated: the program header table at 0x7ffffff0"},
      {"section name table index out of range", [](Corrupt& c) { c.ehdr([](Elf32_Ehdr& h) { h.e_shstrndx = 77; }); },
       "section name table"},
      {"section bytes past the end",
       [](Corrupt& c) { c.shdr(".tavik.cmdmeta", [](Elf32_Shdr& s) { s.sh_offset = 0xffffff00; }); },
       "truncated: section 3 at 0xffffff00"},
      {"section name outside the name table",
       [](Corrupt& c) { c.shdr(".tavik.pkgmeta", [](Elf32_Shdr& s) { s.sh_name = 0x7fffffff; }); },
       "section 4: name offset 0x7fffffff is outside its string table"},
      {"missing command section", [](Corrupt& c) { c.shdr(".tavik.cmdmeta", [](Elf32_Shdr& s) { s.sh_name += 1; }); },
       "no section .tavik.cmdmeta"},
      {"wrong magic", [](Corrupt& c) { c.section_bytes(".tavik.cmdmeta", 0, "TCMX"); },
       ".tavik.cmdmeta: wrong magic \"TCMX\", expected \"TCMD\""},
      {"control bytes in the magic", [](Corrupt& c) { c.section_bytes(".tavik.pkgmeta", 0, "\x1b[2J"); },
       ".tavik.pkgmeta: wrong magic \"\\x1b[2J\", expected \"TPKG\""},
      {"record without its end byte", [](Corrupt& c) { c.shdr(".tavik.pkgmeta", [](Elf32_Shdr& s) { s.sh_size = 21; }); },
       ".tavik.pkgmeta: the record does not end in two zero bytes"},
      {"string running past the section",
       [](Corrupt& c) { c.shdr(".tavik.cmdmeta", [](Elf32_Shdr& s) { s.sh_size = 30; }); },
       ".tavik.cmdmeta: the string at offset 8 runs past the end of the section (30 bytes) without a zero byte"},
      {"last string unterminated", [](Corrupt& c) { c.section_bytes(".tavik.pkgmeta", 20, "xy"); },
       ".tavik.pkgmeta: the string at offset 19 runs past the end of the section (22 bytes) without a zero byte"},
      {"record shorter than its head",
       [](Corrupt& c) { c.shdr(".tavik.cmdmeta", [](Elf32_Shdr& s) { s.sh_size = 7; }); },
       ".tavik.cmdmeta: the record is 7 bytes, shorter than its 8-byte head"},
      {"record with one string", [](Corrupt& c) { c.shdr(".tavik.pkgmeta", [](Elf32_Shdr& s) { s.sh_size = 20; });
                                                  c.section_bytes(".tavik.pkgmeta", 19, std::string(1, 0)); },
       ".tavik.pkgmeta: the record has 1 string(s); it needs a name and a revision"},
      {"bytes after the end byte", [](Corrupt& c) { c.shdr(".tavik.cmdmeta", [](Elf32_Shdr& s) { s.sh_size = 64; }); },
       ".tavik.cmdmeta: 1 byte(s) follow the record's end byte at offset 62"},
      {"record section without file bytes",
       [](Corrupt& c) { c.shdr(".tavik.cmdmeta", [](Elf32_Shdr& s) { s.sh_type = SHT_NOBITS; }); },
       ".tavik.cmdmeta: the section has no bytes in the file (NOBITS)"},
      {"symbol table of odd entries", [](Corrupt& c) { c.shdr(".symtab", [](Elf32_Shdr& s) { s.sh_entsize = 12; }); },
       "symbol table: entries of 12 bytes"},
  };
  for (const auto& bc : cases) {
    SCOPED_TRACE(bc.what);
    Corrupt copy;
    bc.corrupt(copy);
    std::string path = copy.save();
    for (std::vector<std::string> args : {std::vector<std::string>{path}, std::vector<std::string>{"--json", path}}) {
      tavik::test::Output run = tavik::test::run_program(TAVIK_META, args);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "");
      ASSERT_EQ(lines_of(run.err).size(), 1u) << run.err;
      std::string prefix = "tavik-meta: " + path + ": ";
      EXPECT_EQ(run.err.substr(0, prefix.size()), prefix);
      EXPECT_NE(run.err.find(bc.error), std::string::npos) << run.err;
    }
    fs::remove(path);
  }
  // Files that are not images at all: a file of /proc (it says it is empty), a FIFO nobody writes.
  std::string fifo = (fs::temp_directory_path() / ("tavik-meta-fifo-" + std::to_string(::getpid()))).string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [file, error] : {std::pair<std::string, std::string>{"/proc/self/status", "not an ELF"},
                                    {fifo, "not a regular file"}}) {
    tavik::test::Output run = tavik::test::run_program(TAVIK_META, {file}, 10);
    EXPECT_EQ(run.status, 1) << file;
    EXPECT_NE(run.err.find(error), std::string::npos) << run.err;
  }
  fs::remove(fifo);
  tavik::test::Output usage = tavik::test::run_program(TAVIK_META, {"--json", "--check", "x"}, 10);
  EXPECT_EQ(usage.status, 2);
  tavik::test::Output bogus = tavik::test::run_program(TAVIK_META, {"--bogus", "x"}, 10);
  EXPECT_EQ(bogus.status, 2);
  EXPECT_EQ(bogus.err.rfind("tavik-meta: ", 0), 0u) << bogus.err;
}

// Corrupt headers, sections and symbols: --check names every violation, one line each, and exits 1.
TEST(MetaBroken, CheckReportsEveryViolation) {
  struct CheckCase {
    const char* what;
    std::function<void(Corrupt&)> corrupt;
    std::vector<std::string> violations;
  };
  // Addresses in the messages come from the pristine image, so the cases hold whatever the library's size.
  const Corrupt pristine;
  const uint32_t cmdmeta = pristine.section(".tavik.cmdmeta").sh_addr;
  const uint32_t data = pristine.section(".data").sh_addr;
  const uint32_t bss = pristine.section(".bss").sh_addr;
  const uint32_t bss_size = pristine.section(".bss").sh_size;
  const uint32_t data_end = pristine.segment(2).p_vaddr + pristine.segment(2).p_memsz;
  const uint32_t rodata = pristine.segment(1).p_vaddr;
  const uint32_t rodata_end = rodata + pristine.segment(1).p_memsz;
  auto hex = [](uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return std::string(text);
  };
  const std::vector<CheckCase> cases = {
      {"wrong machine and entry point",
       [](Corrupt& c) { c.ehdr([](Elf32_Ehdr& h) { h.e_machine = EM_X86_64; h.e_entry = 0x400010; }); },
       {"ELF header: machine 62, expected 3 (Intel 80386)", "ELF header: entry point 0x400010, expected 0x400000",
        "symbol _start: at 0x400000, but the entry point is 0x400010"}},
      {"shared object, foreign OS ABI",
       [](Corrupt& c) { c.ehdr([](Elf32_Ehdr& h) { h.e_type = ET_DYN; h.e_ident[EI_OSABI] = 3; }); },
       {"ELF header: OS ABI 3, expected 0 (System V)", "ELF header: type 3, expected 2 (executable)"}},
      {"writable read-only segment",
       [](Corrupt& c) { c.phdr(1, [](Elf32_Phdr& p) { p.p_flags = PF_R | PF_W; }); },
       {"segment 1 (read-only data): permissions R+W, expected R"}},
      {"segment alignment",
       [](Corrupt& c) { c.phdr(2, [](Elf32_Phdr& p) { p.p_align = 0x200000; }); },
       {"segment 2: alignment 0x200000, expected 0x1000"}},
      {"a fourth program header",
       [](Corrupt& c) { c.phdr(2, [](Elf32_Phdr& p) { p.p_type = PT_TLS; }); },
       {"program header 2: type 0x7; a tavik image has loadable segments only",
        "2 loadable segments, expected 3 (code, read-only data, data)"}},
      {"writable command record and wrong alignment",
       [](Corrupt& c) { c.shdr(".tavik.cmdmeta", [](Elf32_Shdr& s) { s.sh_flags |= SHF_WRITE; s.sh_addralign = 16; }); },
       {"section .tavik.cmdmeta: flags AW, expected A", "section .tavik.cmdmeta: alignment 16, expected 32"}},
      {"mergeable string flags on the package record",
       [](Corrupt& c) { c.shdr(".tavik.pkgmeta", [](Elf32_Shdr& s) { s.sh_flags |= SHF_MERGE | SHF_STRINGS; }); },
       {"section .tavik.pkgmeta: flags A+0x30, expected A only"}},
      {"package record of another type",
       [](Corrupt& c) { c.shdr(".tavik.pkgmeta", [](Elf32_Shdr& s) { s.sh_type = SHT_NOTE; }); },
       {"section .tavik.pkgmeta: type 7, expected 1"}},
      {"broken record and version",
       [](Corrupt& c) { c.section_bytes(".tavik.cmdmeta", 4, std::string("\x02", 1));
                        c.section_bytes(".tavik.pkgmeta", 0, "XPKG"); },
       {"section .tavik.cmdmeta: version word 2, expected 1",
        ".tavik.pkgmeta: wrong magic \"XPKG\", expected \"TPKG\""}},
      {"control byte in a string", [](Corrupt& c) { c.section_bytes(".tavik.cmdmeta", 10, "\x07"); },
       {"section .tavik.cmdmeta: string 0 holds byte 0x07, outside printable ASCII"}},
      {"global record symbol of the wrong size",
       [](Corrupt& c) { c.symbol("g_pkgmeta_0", [](Elf32_Sym& s) { s.st_info = ELF32_ST_INFO(STB_GLOBAL, STT_OBJECT);
                                                                   s.st_size = 21; }); },
       {"symbol g_pkgmeta_0: binding 1, expected local", "symbol g_pkgmeta_0: size 21, expected 22 (the record)"}},
      {"record symbol not a data object",
       [](Corrupt& c) { c.symbol("g_cmdmeta_0", [](Elf32_Sym& s) { s.st_info = ELF32_ST_INFO(STB_LOCAL, STT_FUNC);
                                                                   s.st_value += 4; }); },
       {"symbol g_cmdmeta_0: type 2, expected a data object",
        "symbol g_cmdmeta_0: at " + hex(cmdmeta + 4) + " in section 3, expected the start of .tavik.cmdmeta (" +
            hex(cmdmeta) + ")"}},
      {"control bytes in a section name",
       [](Corrupt& c) { c.section_bytes(".shstrtab", c.section(".data").sh_name + 2, "\x1b"); },
       {"section .d\\x1bta: allocated at " + hex(data) + " but not part of the image layout", "section .data: missing"}},
      {".bss off its page", [](Corrupt& c) { c.shdr(".bss", [](Elf32_Shdr& s) { s.sh_addr += 8; }); },
       {"section .bss: at " + hex(bss + 8) + ", not on a 4096-byte boundary",
        "section .bss: " + hex(bss + 8) + ".." + hex(bss + 8 + bss_size) + " lies outside segment 2 (" + hex(data) +
            ".." + hex(data_end) + ")"}},
      {"records before the constant data",
       [rodata](Corrupt& c) { c.shdr(".rodata", [rodata](Elf32_Shdr& s) { s.sh_addr = rodata + 0x300; s.sh_size = 0x10; }); },
       {"section .rodata: at " + hex(rodata + 0x300) + ", out of order",
        "section .rodata: " + hex(rodata + 0x300) + ".." + hex(rodata + 0x310) + " lies outside segment 1 (" +
            hex(rodata) + ".." + hex(rodata_end) + ")",
        "section .rodata: at " + hex(rodata + 0x300) + ", expected the start of segment 1 (" + hex(rodata) + ")"}},
  };
  for (const auto& cc : cases) {
    SCOPED_TRACE(cc.what);
    Corrupt copy;
    cc.corrupt(copy);
    std::string path = copy.save();
    tavik::test::Output run = tavik::test::run_program(TAVIK_META, {"--check", path});
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> expected;
    for (const auto& v : cc.violations) expected.push_back(path + ": " + v);
    auto got = lines_of(run.out);
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << run.out << run.err;
    fs::remove(path);
  }
}

// Random damage anywhere in the file's headers and tables: every outcome is a result or a MetaError.
TEST(MetaBroken, RandomDamageNeverCrashes) {
  const std::vector<uint8_t> original = read_bytes(k_crashprobe);
  ElfImage image = ElfImage::from_bytes(original, "original");
  // The places whose damage matters: the ELF header and program headers, the record sections, the tables at the end.
  std::vector<std::pair<size_t, size_t>> regions = {{0, 0x100}};
  for (const char* name : {".tavik.cmdmeta", ".tavik.pkgmeta", ".symtab", ".shstrtab"}) {
    const auto* s = image.find_section(name);
    regions.push_back({s->offset, s->size});
  }
  regions.push_back({original.size() - 10 * sizeof(Elf32_Shdr), 10 * sizeof(Elf32_Shdr)});

  std::mt19937 rng(4);
  int results = 0, errors = 0;
  for (int round = 0; round < 3000; round++) {
    std::vector<uint8_t> bytes = original;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; f++) {
      auto [start, size] = regions[rng() % regions.size()];
      bytes[start + rng() % size] = static_cast<uint8_t>(rng());
    }
    if (round % 10 == 0) bytes.resize(rng() % bytes.size());
    try {
      ElfImage damaged = ElfImage::from_bytes(std::move(bytes), "damaged");
      ImageChecker(ImageChecker::Mode::Full).check(damaged);
      ImageChecker(ImageChecker::Mode::LayoutOnly).check(damaged);
      auto records = tavik::meta::read_records(damaged);
      tavik::meta::format_text("damaged", records);
      tavik::meta::to_json("damaged", records).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      results++;
    } catch (const MetaError&) {
      errors++;
    }
  }
  EXPECT_GT(errors, 100);
  EXPECT_GT(results, 100);
}

}  // namespace
