// Hostile guests and files: whatever they do, a run ends in bounded time and host memory, its whole process
// tree with it, and leaves nothing behind in the root or the process table.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tavik::test;
using Clock = std::chrono::steady_clock;

// A root holding the hostile image as /hostile. Its host path is in the command line of tavik-run and of every
// host process it forks, which is how the test finds a run's processes.
struct Root {
  ScratchRoot dir;
  Root() { fs::copy_file(guest_image("hostile"), dir.path() / "hostile"); }
  std::string str() const { return dir.str(); }
  std::string image() const { return (dir.path() / "hostile").string(); }
  // Host processes of this root's runs still there (zombies aside), after a short grace for signals in flight.
  int processes_left() const {
    int found = 0;
    for (int tries = 0; tries < 50; ++tries) {
      found = 0;
      for (const auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos || std::stoi(name) == ::getpid()) continue;
        std::string cmd = read_file(e.path() / "cmdline"), stat = read_file(e.path() / "stat");
        size_t close = stat.rfind(')');
        bool zombie = close != std::string::npos && stat.compare(close, 4, ") Z ") == 0;
        if (!zombie && cmd.find(str()) != std::string::npos) ++found;
      }
      if (found == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return found;
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir.path())) out.push_back(e.path().filename().string());
    return out;
  }
};

struct Timed {
  Ended end;
  double seconds;
};

Timed run_timed(const std::vector<std::string>& args, Stdio io = {}, double bound = 20) {
  auto start = Clock::now();
  Ended end = wait_cli(start_cli(args, io), bound);
  return {end, std::chrono::duration<double>(Clock::now() - start).count()};
}

TEST(Hostile, TheWholeTreeEndsWithTheRunHoweverItEnds) {
  Root root;
  // A parent that leaves a spinning child behind: the run ends with the parent, the child with it.
  Timed orphan = run_timed({"--root", root.str(), root.image(), "orphan"});
  EXPECT_EQ(orphan.end.status, 0);
  EXPECT_LT(orphan.seconds, 5);
  EXPECT_EQ(root.processes_left(), 0);
  // One deadline and one instruction budget for the tree: a child spinning under a limit stops with it.
  for (std::vector<std::string> limit : {std::vector<std::string>{"--timeout", "1"}, {"--insn-limit", "50000000"}}) {
    limit.insert(limit.end(), {"--root", root.str(), "--process-limit", "6", root.image(), "child", "tree"});
    Timed run = run_timed(limit);
    EXPECT_EQ(run.end.status, 137) << limit[0];
    EXPECT_LT(run.seconds, 6) << limit[0];
    EXPECT_EQ(root.processes_left(), 0) << limit[0];
  }
  // tavik-run itself terminated, or killed.
  for (int sig : {SIGTERM, SIGKILL}) {
    pid_t pid = start_cli({"--root", root.str(), "--process-limit", "6", root.image(), "tree"});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::kill(pid, sig);
    Ended run = wait_cli(pid, 10);
    EXPECT_EQ(run.status, sig == SIGTERM ? 137 : 128 + SIGKILL);
    EXPECT_EQ(root.processes_left(), 0) << "signal " << sig;
  }
}

TEST(Hostile, WritesToFullPipesStopAtTheLimitOrTakeWhatFits) {
  Root root;
  Timed own = run_timed({"--root", root.str(), "--timeout", "1", root.image(), "pipefill"});
  EXPECT_EQ(own.end.status, 137);
  EXPECT_LT(own.seconds, 5);
  Timed nonblocking = run_timed({"--root", root.str(), "--timeout", "5", root.image(), "pipefill", "nb"});
  EXPECT_EQ(nonblocking.end.status, 64) << "a pipe takes 64 KiB";
  // stdout is a pipe nobody reads.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  Timed stdout_full = run_timed({"--timeout", "1", root.image(), "yes"}, Stdio{-1, out[1], -1});
  ::close(out[0]);
  ::close(out[1]);
  EXPECT_EQ(stdout_full.end.status, 137);
  EXPECT_LT(stdout_full.seconds, 5);
}

TEST(Hostile, ChildrenThatFaultOrAreStoppedLeaveNoTemporaryFiles) {
  Root root;
  EXPECT_EQ(run_timed({"--root", root.str(), root.image(), "child", "streamfault", "/out"}).end.status, 128 + 11);
  EXPECT_EQ(run_timed({"--root", root.str(), "--timeout", "1", root.image(), "child", "streamhang", "/out"}).end.status,
            137);
  EXPECT_EQ(root.entries(), std::vector<std::string>{"hostile"});
  // The JSON trace holds every process's calls and end, each line with its pid.
  std::string json = (root.dir.path().parent_path() / (root.dir.path().filename().string() + ".json")).string();
  run_timed({"--root", root.str(), "--trace-json", json, root.image(), "child", "x"});
  std::string lines = read_file(json);
  fs::remove(json);
  size_t first = lines.find("{\"pid\":"), exits = 0;
  for (size_t at = 0; (at = lines.find("\"exit\":0}", at)) != std::string::npos; ++at) ++exits;
  EXPECT_EQ(exits, 2u) << lines;
  EXPECT_NE(lines.find("\"name\":\"spawn\""), std::string::npos) << lines;
  EXPECT_NE(lines.find(lines.substr(first, 16), first + 1) , std::string::npos);
}

// An image that faults at its first instruction, with `symbols` symbols and `sections` empty sections all named
// by one 64 KiB string: about 16 bytes on disk per symbol and 40 per section. `spread`: symbol i holds the i-th of
// as many nops before that instruction, so that every symbol names code that runs.
std::vector<uint8_t> name_bomb(uint32_t symbols, uint32_t sections, bool spread = false) {
  std::vector<uint8_t> f(0x1010);
  auto put = [&](size_t at, const void* p, size_t n) {
    if (f.size() < at + n) f.resize(at + n);
    std::memcpy(f.data() + at, p, n);
  };
  std::vector<uint8_t> code(spread ? symbols : 0, 0x90);
  for (uint8_t b : {0xc7, 0x05, 0, 0, 0, 0, 0, 0, 0, 0}) code.push_back(b);  // mov dword [0], 0
  put(0x1000, code.data(), code.size());
  std::string names = std::string(1, '\0') + std::string(65536, 'A') + std::string(1, '\0');
  uint32_t strtab = static_cast<uint32_t>(f.size());
  put(strtab, names.data(), names.size());
  uint32_t symtab = static_cast<uint32_t>(f.size());
  for (uint32_t i = 0; i < symbols; ++i) {
    Elf32_Sym s{1, 0x401000 + (spread ? i : 0), spread, ELF32_ST_INFO(STB_GLOBAL, STT_FUNC), 0, 1};
    put(symtab + i * sizeof s, &s, sizeof s);
  }
  std::vector<Elf32_Shdr> sh(4 + sections);
  uint32_t code_size = static_cast<uint32_t>(code.size());
  sh[1] = {1, SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, 0x401000, 0x1000, code_size, 0, 0, 1, 0};
  sh[2] = {1, SHT_STRTAB, 0, 0, strtab, static_cast<uint32_t>(names.size()), 0, 0, 1, 0};
  sh[3] = {1, SHT_SYMTAB, 0, 0, symtab, symbols * 16, 2, 0, 4, 16};
  for (uint32_t i = 0; i < sections; ++i) sh[4 + i] = {1, SHT_PROGBITS, 0, 0, 0x1000, 0, 0, 0, 1, 0};
  uint32_t shoff = static_cast<uint32_t>(f.size());
  put(shoff, sh.data(), sh.size() * sizeof(Elf32_Shdr));
  Elf32_Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = ELFCLASS32;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_EXEC;
  eh.e_machine = EM_386;
  eh.e_version = EV_CURRENT;
  eh.e_entry = 0x401000;
  eh.e_phoff = sizeof eh;
  eh.e_shoff = shoff;
  eh.e_ehsize = sizeof eh;
  eh.e_phentsize = sizeof(Elf32_Phdr);
  eh.e_phnum = 1;
  eh.e_shentsize = sizeof(Elf32_Shdr);
  eh.e_shnum = static_cast<uint16_t>(sh.size() < SHN_LORESERVE ? sh.size() : 0);
  eh.e_shstrndx = 2;
  put(0, &eh, sizeof eh);
  Elf32_Phdr ph{PT_LOAD, 0, 0x400000, 0x400000, 0x1000 + code_size, 0x1000 + code_size, PF_R | PF_X, 0x1000};
  put(sizeof eh, &ph, sizeof ph);
  return f;
}

TEST(Hostile, FilesSmallOnDiskStaySmallInMemory) {
  Root root;
  fs::path symbols = root.dir.path() / "symbols", sections = root.dir.path() / "sections";
  std::vector<uint8_t> a = name_bomb(16384, 0), b = name_bomb(0, 16000);
  std::ofstream(symbols, std::ios::binary).write(reinterpret_cast<char*>(a.data()), a.size());
  std::ofstream(sections, std::ios::binary).write(reinterpret_cast<char*>(b.data()), b.size());
  ASSERT_LT(a.size() + b.size(), 1u << 20);
  constexpr long kBoundKib = 64 * 1024;  // was a GiB each: one name copy per entry
  Output run = run_program(TAVIK_RUN_EXE, {symbols.string()});
  EXPECT_EQ(run.status, 139);
  EXPECT_NE(run.err.find("(AAAA"), std::string::npos) << "the fault is symbolised";
  EXPECT_LT(run.max_rss_kib, kBoundKib);
  for (const fs::path& file : {symbols, sections}) {
    Output meta = run_program(TAVIK_META, {file.string()});
    EXPECT_LT(meta.max_rss_kib, kBoundKib) << file;
    Output check = run_program(TAVIK_META, {"--check", file.string()});
    EXPECT_LT(check.max_rss_kib, kBoundKib) << file;
    EXPECT_LT(check.out.size() + check.err.size(), 16u << 20) << file;
  }
  // A traced 64 MiB whole-file write keeps a bounded part of its data (it held all of it, twice over in JSON).
  Output traced = run_program(TAVIK_RUN_EXE, {"--root", root.str(), "--trace-json", (root.dir.path() / "t.json").string(),
                                              root.image(), "bigw", "/big", "x"});
  EXPECT_EQ(traced.status, 0);
  EXPECT_LT(traced.max_rss_kib, 64 * 1024 + kBoundKib / 2);
  // Profiles and coverage: 16,384 executed functions all named by one 64 KiB string (a GiB as one name each),
  // 20,000 compile units that all name one line program of 40,000 rows (read once per unit: 800 million), and
  // line programs of 30,000 files in a 60 KB folder and of 10 million one-byte rows (1.8 GB and 1 GB read whole).
  fs::path spread = root.dir.path() / "spread";
  std::vector<uint8_t> c = name_bomb(16384, 0, true);
  std::ofstream(spread, std::ios::binary).write(reinterpret_cast<char*>(c.data()), c.size());
  for (const fs::path& image : {spread, fs::path(guest_image("line_bomb")), fs::path(guest_image("path_bomb"))}) {
    std::string out = (root.dir.path() / "out").string();
    Timed measured = run_timed({"--profile", out, "--coverage", out + ".info", image.string()});
    EXPECT_EQ(measured.end.status, image == spread ? 139 : 0) << image;
    EXPECT_LT(measured.end.max_rss_kib, kBoundKib) << image;
    EXPECT_LT(measured.seconds, 10) << image;
    EXPECT_LT(fs::file_size(out), 1u << 20) << image;
  }
  Output stop = run_program(TAVIK_RUN_EXE, {"--insn-limit", "1", guest_image("path_bomb")});
  EXPECT_EQ(stop.status, 137);
  EXPECT_LT(stop.max_rss_kib, kBoundKib);
  EXPECT_NE(stop.err.find("source lines left out"), std::string::npos) << stop.err;
}

// Debug information and names are the image's and the guest's: a scope nest deeper than any stack, a source file
// named with lcov records and a terminal escape, and a forged argv[0] reach no host crash and no output raw.
TEST(Hostile, ReportsHoldWhateverTheDebugInformationAndTheNamesHold) {
  Root root;
  std::string info = (root.dir.path() / "cov.info").string();
  const std::string image = guest_image("dwarf_bomb");
  Output run = run_program(TAVIK_RUN_EXE, {"--argv0", "x\ntavik: forged\x1b]0;t\x07", "--coverage", info, image});
  EXPECT_EQ(run.status, 139);
  EXPECT_EQ(run.err.rfind("tavik: x\\x0atavik: forged\\x1b]0;t\\x07: page fault", 0), 0u) << run.err;
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos);
  EXPECT_NE(run.err.find("inlined calls left out"), std::string::npos) << run.err;
  std::string lcov = read_file(info);
  EXPECT_EQ(lcov.find("\nSF:/etc/passwd"), std::string::npos) << lcov;
  EXPECT_EQ(lcov.find("\nend_of_record\n"), lcov.size() - 15) << "one record, not a forged second: " << lcov;
  // A limit stop walks the same debug information.
  Output stop = run_program(TAVIK_RUN_EXE, {"--insn-limit", "1", image});
  EXPECT_EQ(stop.status, 137);
  EXPECT_NE(stop.err.find("stopped by the instruction limit"), std::string::npos) << stop.err;
  // A report file a guest replaced by a FIFO is refused at once; the guest's own end still decides the status.
  fs::remove(info);
  ASSERT_EQ(::mkfifo(info.c_str(), 0600), 0);
  Timed fifo = run_timed({"--timeout", "5", "--coverage", info, image});
  EXPECT_EQ(fifo.end.status, 139);
  EXPECT_LT(fifo.seconds, 4);
  // A report file the guest replaced by a link to a file outside its root is not written through.
  fs::remove(info);
  fs::path outside = root.dir.path() / "outside";
  std::ofstream(outside) << "mine";
  fs::create_symlink(outside, info);
  Output linked = run_program(TAVIK_RUN_EXE, {"--coverage", info, image});
  EXPECT_EQ(linked.status, 139);
  EXPECT_NE(linked.err.find("--coverage " + info + ": is a symbolic link"), std::string::npos) << linked.err;
  EXPECT_EQ(read_file(outside), "mine");
  // A report folder that is missing is told before the guest runs.
  EXPECT_EQ(run_program(TAVIK_RUN_EXE, {"--coverage", root.str() + "/none/cov.info", image}).status, 125);
}

TEST(Hostile, ATerminationSaysWhereTheGuestWasAndEndsAWaitForGdb) {
  Root root;
  fs::path err = root.dir.path() / "err";
  int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = start_cli({guest_image("faults"), "l"}, {-1, -1, fd});
  ::close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(wait_cli(pid, 10).status, 137);
  EXPECT_NE(read_file(err).find("stopped by a termination signal, eip 0x"), std::string::npos) << read_file(err);
  // Waiting for gdb to connect, SIGTERM ends the run as it ends a running one.
  pid = start_cli({"--gdb", "23456", guest_image("faults")});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGTERM);
  Ended waiting = wait_cli(pid, 10);
  EXPECT_FALSE(waiting.hung);
  EXPECT_EQ(waiting.status, 137);
}

TEST(Hostile, ManyBlocksUnderABlockHookStayBounded) {
  // A million distinct blocks: the engine's record of the blocks a hook instrumented went with every one (110 MB
  // more under --count-insns); it now goes with the flushed translations.
  Output run = run_program(TAVIK_RUN_EXE, {"--count-insns", guest_image("many_blocks")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "instructions: 1000003\n");
  EXPECT_LT(run.max_rss_kib, 96 * 1024);
}

}  // namespace
