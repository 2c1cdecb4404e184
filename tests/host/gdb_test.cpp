// The debugger stub: real gdb sessions in batch mode against tavik-run --gdb, and malformed packets.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "support/cli.hpp"
#include "support/guest.hpp"
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kCrashprobe = std::string(TAVIK_ROOT_DIR) + "/bin/crashprobe";

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// tavik-run --gdb PORT in a child process; its exit code is collected at the end.
struct Stubbed {
  int port = free_port();
  pid_t pid = -1;
  explicit Stubbed(const std::vector<std::string>& guest, tavik::test::Stdio io = {}) {
    std::vector<std::string> words{"--timeout", "60", "--gdb", std::to_string(port)};
    words.insert(words.end(), guest.begin(), guest.end());
    pid = tavik::test::start_cli(words, io);
    wait_listening();
  }
  void wait_listening() {
    for (int i = 0; i < 200; ++i) {
      // Probing would use up the single connection: look at the listening socket table instead.
      FILE* f = std::fopen("/proc/net/tcp", "r");
      char line[512];
      char want[16];
      std::snprintf(want, sizeof want, ":%04X 00000000", port);
      bool found = false;
      while (f && std::fgets(line, sizeof line, f))
        if (std::string(line).find(want) != std::string::npos) found = true;
      if (f) std::fclose(f);
      if (found) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  int exit_code() {
    int st = 0;
    waitpid(pid, &st, 0);
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  ~Stubbed() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

std::string gdb(const std::string& image, int port, const std::vector<std::string>& cmds) {
  std::vector<std::string> args{"-batch", "-nx", image, "-ex", "target remote :" + std::to_string(port)};
  for (const auto& c : cmds) args.insert(args.end(), {"-ex", c});
  tavik::test::Output run = tavik::test::run_program("gdb", args, 60);
  return run.out + run.err;
}

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

TEST(Gdb, CrashprobeSessionFromMainToTheFault) {
  Stubbed run({kCrashprobe, "yes"});
  std::string out = gdb(kCrashprobe, run.port,
                        {"break *main", "continue", "x/2wx $esp+4", "x/s *(char**)($esp+8)", "x/s ((char**)*(int*)($esp+8))[1]",
                         "break puts", "continue", "finish", "continue", "x/i $pc", "kill"});
  EXPECT_TRUE(has(out, "Breakpoint 1, 0x")) << out;
  EXPECT_TRUE(has(out, "in main ()")) << out;
  EXPECT_TRUE(has(out, ":\t0x00000002\t")) << out;  // argc
  EXPECT_TRUE(has(out, "\"yes\"")) << out;          // argv[1]
  EXPECT_TRUE(has(out, "Breakpoint 2, 0x")) << out;
  EXPECT_TRUE(has(out, "in puts ()")) << out;
  // finish returns from puts into main, before the store faults.
  size_t in_puts = out.find("in puts ()"), signal = out.find("Program received signal");
  ASSERT_NE(in_puts, std::string::npos) << out;
  EXPECT_NE(out.substr(in_puts, signal - in_puts).find("in main ()"), std::string::npos) << out;
  EXPECT_TRUE(has(out, "Program received signal SIGSEGV")) << out;
  EXPECT_TRUE(has(out, "<main+")) << out;
  EXPECT_TRUE(has(out, "movl   $0x0,0x0")) << out;  // eip at the store
  run.exit_code();
}

// "FUNCTION FILE:LINE" of each frame, from gdb's bt ("#1  0x... in kv_load (out=...) at kv_store.c:18") or from a
// fault report's backtrace ("#1 0x... in kv_load (kv_store.c:18)").
std::vector<std::string> frames(const std::string& text, bool from_gdb) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t hash = line.find('#');
    if (hash == std::string::npos || line.find_first_not_of(' ') != hash) continue;
    size_t name = line.find(" in ");
    name = name == std::string::npos ? line.find_first_of(' ', hash) + 2 : name + 4;
    std::string function = line.substr(name, line.find(" (", name) - name);
    size_t at = from_gdb ? line.rfind(" at ") : line.rfind('(');
    if (at == std::string::npos) continue;
    std::string where = line.substr(at + (from_gdb ? 4 : 1));
    if (!from_gdb) where.pop_back();
    where = where.substr(where.rfind('/') + 1);  // gdb names the file as compiled, the report by its name
    out.push_back(function + " " + where);
  }
  return out;
}

TEST(Gdb, TheFaultReportsBacktraceIsGdbs) {
  const std::string kv = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/debug_kv";
  tavik::test::Output report = tavik::test::run_program(TAVIK_RUN_EXE, {kv, "!x"});
  Stubbed run({kv, "!x"});
  std::string out = gdb(kv, run.port, {"continue", "bt", "kill"});
  std::vector<std::string> ours = frames(report.err, false), theirs = frames(out, true);
  // The frames with a source line (the report's _start has none; gdb stops at main).
  ASSERT_EQ(ours.size(), 3u) << report.err;
  EXPECT_EQ(ours, theirs) << report.err << out;
}

TEST(Gdb, FunctionsCalledFromGdbReturnEveryTime) {
  // gdb's calls return to a breakpoint on the stack, which the guest cannot execute: a stop, not a fault.
  const std::string kv = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/debug_kv";
  Stubbed run({kv});
  std::string out = gdb(kv, run.port, {"break main", "continue", "print (int)abs(-3)", "print (int)abs(-4)",
                                       "print (long)labs(-5)", "next", "continue"});
  EXPECT_TRUE(has(out, "$1 = 3") && has(out, "$2 = 4") && has(out, "$3 = 5")) << out;
  EXPECT_TRUE(has(out, "CALL kv_load")) << "next goes on to the following line: " << out;
  EXPECT_TRUE(has(out, "exited normally")) << out;
  EXPECT_EQ(run.exit_code(), 0);
}

TEST(Gdb, AMemoryErrorStopsAtTheAccessAndTheProgramGoesOn) {
  const std::string image = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/debug_memory_errors";
  Stubbed run({"--memcheck", image, "after"});
  std::string out = gdb(image, run.port, {"continue", "continue"});
  EXPECT_TRUE(has(out, "Program received signal SIGSEGV")) << out;
  EXPECT_TRUE(has(out, "/* the write after */")) << "gdb shows the line of the access: " << out;
  EXPECT_TRUE(has(out, "exited normally")) << out;
  EXPECT_EQ(run.exit_code(), 0);
}

TEST(Gdb, AFaultInTheMiddleOfABlockStopsAtItsInstruction) {
  const std::string faults = std::string(TAVIK_HOST_GUEST_DIR) + "/faults";
  Stubbed run({faults, "Ma"});
  std::string out = gdb(faults, run.port, {"continue", "x/i $pc", "p $ecx", "kill"});
  EXPECT_TRUE(has(out, "Program received signal SIGSEGV")) << out;
  EXPECT_TRUE(has(out, "<mid_add>:")) << out;
  EXPECT_TRUE(has(out, "$1 = 6")) << out;
}

TEST(Gdb, LibraryBreakpointStepAndExitStatus) {
  Stubbed run({kCrashprobe, "no"});
  std::string out = gdb(kCrashprobe, run.port,
                        {"break strcmp", "continue", "info registers eip", "stepi", "nexti", "delete", "continue"});
  EXPECT_TRUE(has(out, "in strcmp ()")) << out;
  EXPECT_TRUE(has(out, "<strcmp>")) << out;
  EXPECT_TRUE(has(out, "[Inferior 1 (Remote target) exited")) << out;
  int code = run.exit_code();
  EXPECT_NE(code, 139);
  if (has(out, "exited normally")) EXPECT_EQ(code, 0);
  else EXPECT_TRUE(has(out, "exited with code")) << out;
}

TEST(Gdb, WatchpointOnTheHeapAndX87Registers) {
  const std::string heap = tavik::test::target_test("heap_test");
  {
    Stubbed run({heap});
    std::string out = gdb(heap, run.port, {"watch *(int*)&g_heap_used", "continue", "bt 1", "kill"});
    EXPECT_TRUE(has(out, "Hardware watchpoint 1: *(int*)&g_heap_used")) << out;
    EXPECT_TRUE(has(out, "New value =")) << out;
  }
  const std::string conv = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/convert_strtold_guest";
  Stubbed run({conv, "1.5"});
  std::string out = gdb(conv, run.port, {"break strtold", "continue", "finish", "info float", "p $st0", "kill"});
  EXPECT_TRUE(has(out, "in strtold ()")) << out;
  EXPECT_TRUE(has(out, "=>R7:")) << out;  // the stack top shown by info float
  EXPECT_TRUE(has(out, "Status Word:")) << out;
  EXPECT_TRUE(has(out, "Control Word:")) << out;
  // A push writes through the stack's own path in the engine, which a watchpoint sees as any store.
  Stubbed pushed({conv, "1.5"});
  out = gdb(conv, pushed.port, {"break *strtold", "continue", "set var *(int*)($esp - 4) = 0x7eadbeef",
                                "watch -l *(int*)($esp - 4)", "continue", "kill"});
  EXPECT_TRUE(has(out, "Old value = 2125315823")) << out;
}

// The line of a guest's source (tests/guests/debug/NAME) that holds the marker comment.
int line_of(const std::string& marker, const std::string& name = "overwrite.c") {
  std::ifstream in(std::string(TAVIK_SOURCE_DIR) + "/tests/guests/debug/" + name);
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (++n && line.find(marker) != std::string::npos) return n;
  return 0;
}

TEST(Gdb, AReplayGoesBackToTheStoreThatOverwroteAPointerAndStepsBackOverACall) {
  const std::string image = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/debug_overwrite";
  tavik::test::ScratchRoot root;
  std::ofstream(root.path() / "name.txt") << "overlong-name\n";
  std::ofstream(root.path() / "in") << "30000\n";
  std::string rec = (root.path() / "rec").string();
  tavik::test::Output recorded = tavik::test::run_program(
      TAVIK_RUN_EXE, {"--root", root.str(), "--stdin", (root.path() / "in").string(), "--record", rec, image});
  ASSERT_EQ(recorded.status, 128 + SIGSEGV) << recorded.err;
  std::FILE* out = std::tmpfile();
  Stubbed run({"--replay", rec}, {-1, fileno(out), -1});
  std::string print_line = std::to_string(line_of("PRINT"));
  std::string session = gdb(image, run.port,
                            {"reverse-stepi", "continue", "watch -l table[1].greeting", "reverse-continue", "bt",
                             "delete", "break overwrite.c:" + print_line, "continue", "next", "reverse-next", "next",
                             "kill"});
  EXPECT_TRUE(has(session, "No more reverse-execution history.")) << "at the first instruction: " << session;
  EXPECT_TRUE(has(session, "Program received signal SIGSEGV")) << session;
  // Going back from the fault, the watchpoint stops at the store that changed the pointer, in strcpy called from
  // set_name at its line.
  EXPECT_TRUE(has(session, "Old value = ")) << session;
  EXPECT_TRUE(has(session, "in set_name (") && has(session, "overwrite.c:" + std::to_string(line_of("OVERWRITE"))))
      << session;
  // From there forward to the printf, over it (a write), back before it and over it again: the line is said
  // once.
  size_t at = session.find("\n" + print_line + "\t");
  ASSERT_NE(at, std::string::npos) << session;
  EXPECT_NE(session.find("\n" + print_line + "\t", at + 1), std::string::npos) << "reverse-next: " << session;
  run.exit_code();
  std::string said = tavik::test::read_all(out);
  EXPECT_EQ(said.find("sum "), said.rfind("sum ")) << said;
  EXPECT_NE(said.find("sum "), std::string::npos) << said;
}

TEST(Gdb, ALiveRunGoesBackOverAReadFromAPipeAndDoesNotReadAgain) {
  const std::string image = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/debug_overwrite";
  tavik::test::ScratchRoot root;
  std::ofstream(root.path() / "name.txt") << "overlong-name\n";
  auto piped = [](const std::string& text) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(p[1]);
    return p[0];
  };
  std::FILE* plain = std::tmpfile();
  int in = piped("30000\n");
  tavik::test::wait_cli(tavik::test::start_cli({"--root", root.str(), image}, {in, fileno(plain), -1}), 60);
  close(in);
  std::FILE* out = std::tmpfile();
  in = piped("30000\n");
  Stubbed run({"--root", root.str(), image}, {in, fileno(out), -1});
  close(in);
  std::string print = "overwrite.c:" + std::to_string(line_of("PRINT")), input = "overwrite.c:" + std::to_string(line_of("INPUT"));
  std::string session = gdb(image, run.port, {"break " + print, "continue", "break " + input, "reverse-continue",
                                              "delete", "continue", "kill"});
  EXPECT_TRUE(has(session, "Breakpoint 2, main () at")) << "back before the read: " << session;
  EXPECT_TRUE(has(session, "Program received signal SIGSEGV")) << session;
  run.exit_code();
  // Forward again, the read is answered as it was (the pipe is empty now): the same output, said once.
  EXPECT_EQ(tavik::test::read_all(out), tavik::test::read_all(plain));
}

TEST(Gdb, ReplayPidDebugsASpawnedChild) {
  tavik::test::ScratchRoot root;
  std::filesystem::create_directories(root.path() / "bin");
  std::filesystem::copy_file(std::string(TAVIK_HOST_GUEST_DIR) + "/probe", root.path() / "bin/probe");
  std::string rec = (root.path() / "tree.rec").string();
  // The first probe spawns a second that exits 5, waits for it, and exits 3.
  tavik::test::Output recorded = tavik::test::run_program(
      TAVIK_RUN_EXE, {"--root", root.str(), "--trace", "--record", rec, (root.path() / "bin/probe").string(),
                      "p:0x1100:probe", "w:0x1000:&0x1100", "p:0x1110:q:5", "w:0x1004:&0x1110", "p:0:/bin/probe",
                      "s:spawn:&0:&4096:2", "s:waitpid:$0:0:0", "q:3"});
  ASSERT_EQ(recorded.status, 3) << recorded.err;
  size_t at = recorded.err.find("[pid ");
  ASSERT_NE(at, std::string::npos) << recorded.err;
  std::string pid = recorded.err.substr(at + 5, recorded.err.find(']', at) - at - 5);
  Stubbed run({"--replay", rec, "--replay-pid", pid});
  std::string session = gdb(root.path() / "bin/probe", run.port, {"stepi", "reverse-stepi", "continue"});
  EXPECT_TRUE(has(session, "exited with code 05")) << "the child's own end: " << session;
  EXPECT_EQ(run.exit_code(), 3) << "the tree's end is its first process's";
}

TEST(Gdb, CheckpointsOfALargeUntouchedBssCostWhatTheProgramTouched) {
  const std::string image = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/debug_big_bss";
  Stubbed run({image});
  std::string session = gdb(image, run.port, {"continue", "reverse-stepi", "print big[4096]", "kill"});
  EXPECT_TRUE(has(session, "$1 = -40")) << "375,000 increments of a byte: " << session;
  tavik::test::Ended end = tavik::test::wait_cli(run.pid, 60);
  run.pid = -1;
  // 128 MiB mapped, eight pages touched: reading the untouched ones for a checkpoint would make them memory. The
  // rest is the kit, its checkpoints and what the session filled of the 32 MiB translation buffer.
  EXPECT_LT(end.max_rss_kib, 96 * 1024) << "KiB";
}

TEST(Gdb, GoingBackThroughThinnedCheckpointsPutsMemoryBackExactly) {
  // 1500 rounds over a 16 KiB table under 1 MiB of history: the checkpoints are thinned out, and the oldest
  // dropped, many times on the way to the end.
  const std::string image = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/debug_history";
  Stubbed run({"--history-memory", "1", image});
  std::string end = "history.c:" + std::to_string(line_of("END", "history.c"));
  std::string session = gdb(image, run.port, {"break " + end, "continue", "watch -l cells[5]", "reverse-continue",
                                              "print cells[4095]", "print cells[6]", "reverse-continue",
                                              "print cells[4095]", "kill"});
  // A cell holds round * 4096 + index. Going back, the watchpoint stops before round 1500's store into cells[5]
  // (gdb shows the later value as the old one), where the rest of the table is round 1499's from cells[6] on;
  // once more, and it is round 1498's.
  EXPECT_TRUE(has(session, "Old value = 6144005\nNew value = 6139909")) << session;
  EXPECT_TRUE(has(session, "$1 = 6143999") && has(session, "$2 = 6139910")) << session;
  EXPECT_TRUE(has(session, "Old value = 6139909\nNew value = 6135813")) << session;
  EXPECT_TRUE(has(session, "$3 = 6139903")) << session;
}

TEST(Gdb, MalformedPacketsAreAnsweredWithoutACrash) {
  Stubbed run({kCrashprobe, "yes"});
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(run.port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  // The whole answer: a lone "-", or an acknowledgement and one packet; then whatever else comes at once.
  auto complete = [](const std::string& got) {
    size_t dollar = got.rfind('$');
    return got == "-" || (dollar != std::string::npos && got.find('#', dollar) + 3 == got.size());
  };
  auto talk = [&](const std::string& bytes) {
    send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string got;
    pollfd p{s, POLLIN, 0};
    while (poll(&p, 1, complete(got) ? 50 : 10000) > 0) {
      char b[65536];
      ssize_t n = recv(s, b, sizeof b, 0);
      if (n <= 0) break;
      got.append(b, n);
    }
    return got;
  };
  auto packet = [](const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum += static_cast<unsigned char>(c);
    char t[4];
    std::snprintf(t, sizeof t, "#%02x", sum & 0xff);
    return "$" + body + t;
  };
  EXPECT_EQ(talk(packet("?")), "+$T05thread:1;#d7");                // the stop at the entry point
  EXPECT_EQ(talk("$g#00"), "-");                                    // bad checksum
  EXPECT_EQ(talk("$g#zz"), "-");                                    // not a checksum
  EXPECT_EQ(talk(packet(std::string(100000, 'A'))), "-");           // overlong
  EXPECT_EQ(talk(packet("Xyzzy")), "+$#00");                        // unknown command
  EXPECT_EQ(talk("garbage\x01\xff" + packet("qC")), "+$QC1#c5");    // garbage between packets
  EXPECT_EQ(talk(packet("m0,4")), "+$E14#aa");                      // page 0 is not mapped
  EXPECT_EQ(talk(packet("mffffffff,10")), "+$E14#aa");              // wraps around the address space
  EXPECT_EQ(talk(packet("m400000,zz")), "+$E01#a6");
  EXPECT_EQ(talk(packet("M0,1:00")), "+$E14#aa");
  EXPECT_EQ(talk(packet("p99")), "+$E01#a6");
  EXPECT_EQ(talk(packet("Pb=00000000")), "+$E01#a6");             // SS = 0: refused, the run goes on
  EXPECT_EQ(talk(packet("Pa=08000000")), "+$E01#a6");             // CS = the kernel's: refused
  EXPECT_EQ(talk(packet("Z0,1")), "+$E01#a6");
  EXPECT_EQ(talk(packet("Z2,500000,0")), "+$E01#a6");
  std::string regs = talk(packet("g"));
  EXPECT_EQ(regs.size(), 1 + 1 + (16 * 8 + 8 * 20 + 8 * 8) + 3) << regs;
  EXPECT_TRUE(has(talk(packet("qSupported:swbreak+")), "qXfer:features:read+"));
  // A read longer than the packet size gdb was told answers its first part: no answer is longer than 0x3fff.
  EXPECT_TRUE(has(talk(packet("qSupported")), "PacketSize=3fff"));
  std::string big = talk(packet("m400000,2000"));
  EXPECT_EQ(big.size(), 1 + 1 + 0x3ffe + 3) << big.substr(0, 40);
  EXPECT_TRUE(has(talk(packet("qXfer:features:read:target.xml:0,3fff")), "org.gnu.gdb.i386.core"));
  EXPECT_EQ(talk(packet("m400000,1")).substr(0, 2), "+$");  // still serving
  std::string kill = packet("k");
  send(s, kill.data(), kill.size(), MSG_NOSIGNAL);
  close(s);
  EXPECT_EQ(run.exit_code(), 137);
}

}  // namespace
