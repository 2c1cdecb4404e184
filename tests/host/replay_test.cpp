// --record and --replay through the command line: a crash replayed after its inputs are gone, a process tree,
// and recordings that are refused (foreign, of another format, damaged, truncated, cut short, divergent).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/cli.hpp"
#include "support/guest.hpp"

namespace {

namespace fs = std::filesystem;
using tavik::test::Output;
using tavik::test::ScratchRoot;

Output tavik_run(const std::vector<std::string>& args) { return tavik::test::run_program(TAVIK_RUN_EXE, args, 60); }

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spill(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

uint32_t get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return v;
}

void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// The offsets of the recording's chunks (after the 12-byte file header, each a 16-byte header and its payload).
std::vector<size_t> chunks(const std::string& rec) {
  std::vector<size_t> at;
  for (size_t i = 12; i + 16 <= rec.size(); i += 16 + get32(rec, i + 8)) at.push_back(i);
  return at;
}

TEST(Replay, ACrashReplaysWhenItsInputsAreGone) {
  ScratchRoot root, inputs;
  spill(root.path() / "name.txt", "overlong-name\n");
  spill(inputs.path() / "stdin", "20000\n");
  std::string rec = (inputs.path() / "crash.rec").string();
  fs::path lines = inputs.path() / "lines.info", lines_again = inputs.path() / "again.info";
  Output recorded = tavik_run({"--root", root.str(), "--stdin", (inputs.path() / "stdin").string(), "--trace",
                               "--count-insns", "--coverage", lines.string(), "--record", rec,
                               tavik::test::target_program("debug_overwrite")});
  ASSERT_EQ(recorded.status, 128 + SIGSEGV) << recorded.err;
  ASSERT_NE(recorded.out.find("0: hello\n"), std::string::npos) << recorded.out;
  fs::remove_all(root.path() / "name.txt");
  fs::remove(inputs.path() / "stdin");

  Output replayed = tavik_run({"--replay", rec, "--trace", "--count-insns", "--coverage", lines_again.string()});
  EXPECT_EQ(replayed.status, recorded.status);
  EXPECT_EQ(replayed.out, recorded.out);
  // The same calls with the same results, the same fault report, the same count of instructions.
  EXPECT_EQ(replayed.err, recorded.err);
  EXPECT_NE(replayed.err.find("open(\"/name.txt\""), std::string::npos) << replayed.err;
  EXPECT_NE(replayed.err.find("in main (overwrite.c:"), std::string::npos) << replayed.err;
  EXPECT_TRUE(fs::is_empty(root.path())) << "a replay touches no file";
  EXPECT_EQ(slurp(lines_again), slurp(lines)) << "the same lines ran as often";
}

TEST(Replay, ATreeReplaysWholeEachChildAtItsSpawn) {
  ScratchRoot root, work;
  fs::create_directories(root.path() / "bin");
  fs::copy_file(std::string(TAVIK_HOST_GUEST_DIR) + "/probe", root.path() / "bin/probe");
  std::string rec = (work.path() / "tree.rec").string();
  // probe spawns probe ("a" prints its arguments, exit 5), waits, prints the status word, then exits 3.
  fs::path json = work.path() / "recorded.json", json_again = work.path() / "replayed.json";
  std::vector<std::string> args{"--root", root.str(), "--trace", "--trace-json", json.string(), "--record", rec,
                                (root.path() / "bin/probe").string(),
                                "p:0x1100:probe", "w:0x1000:&0x1100", "p:0x1110:a", "w:0x1004:&0x1110",
                                "p:0x1120:q:5", "w:0x1008:&0x1120", "p:0:/bin/probe", "s:spawn:&0:&4096:3",
                                "s:waitpid:$0:&0x2000:0", "o:0x2000:4", "q:3"};
  Output recorded = tavik_run(args);
  ASSERT_EQ(recorded.status, 3) << recorded.err;
  fs::remove_all(root.path() / "bin");
  Output replayed = tavik_run({"--replay", rec, "--trace", "--trace-json", json_again.string()});
  EXPECT_EQ(replayed.status, 3) << replayed.err;
  EXPECT_EQ(sorted_lines(slurp(json_again)), sorted_lines(slurp(json))) << "the JSON lines keep the recorded pids";
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(replayed.out, std::string("probe\na\nq:5\nend\n") + std::string("\x00\x05\x00\x00", 4));
  EXPECT_EQ(sorted_lines(replayed.err), sorted_lines(recorded.err)) << "the child's lines keep their recorded pid";
}

TEST(Replay, ForeignDamagedCutDivergentAndStrayRecordingsAreRefused) {
  ScratchRoot work;
  fs::path rec = work.path() / "good.rec";
  spill(work.path() / "in", "abcdefgh");
  Output recorded = tavik_run({"--stdin", (work.path() / "in").string(), "--record", rec.string(),
                               std::string(TAVIK_HOST_GUEST_DIR) + "/probe", "s:read:0:&0x100:8", "o:0:4", "q:0"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  std::string good = slurp(rec);
  std::vector<size_t> at = chunks(good);
  ASSERT_GE(at.size(), 2u);

  std::string version = good, flipped = good, forged = good, stray = good, greedy = good;
  put32(version, 8, 99);
  flipped[good.size() / 2] ^= 0x40;
  // The first process's first call (after its start record) is the read.
  size_t payload = at[1] + 16;
  size_t p = payload + 1 + 12;                          // tag, serial, parent, pid
  for (int s = 0; s < 2; ++s) p += 4 + get32(good, p);  // label, name
  for (uint32_t argc = get32(good, p), i = (p += 4, 0); i < argc; ++i) p += 4 + get32(good, p);
  p += 4 + get32(good, p);  // image
  ASSERT_EQ(good[p], 'C');
  ASSERT_EQ(get32(good, p + 1), 3u);
  auto seal = [&](std::string& f, size_t chunk = 1) {
    uint32_t len = get32(f, at[chunk] + 8);
    const Bytef* bytes = reinterpret_cast<const Bytef*>(f.data() + at[chunk] + 16);
    put32(f, at[chunk] + 12, static_cast<uint32_t>(crc32(0, bytes, len)));
  };
  // The header asks for a terabyte of image memory.
  put32(greedy, at[0] + 16 + 1 + 4 + 4, 256);
  seal(greedy, 0);
  // It claims to be a write; or its store goes to the image's code, which no kernel copy may write.
  put32(forged, p + 1, 1);
  seal(forged);
  size_t store = p + 34 + get32(good, p + 30) + 4;  // after the fixed fields, the output and the count of stores
  stray[store] = 3;                                 // relative to no argument: the offset is the address
  put32(stray, store + 1, 0x400000);
  seal(stray);

  struct Case {
    std::string name, bytes, says;
  };
  for (const Case& c : {Case{"foreign", "#!/bin/sh\necho not a recording\n", "not a tavik recording"},
                        Case{"version", version, "format 99"}, Case{"flipped", flipped, "damaged at byte"},
                        Case{"truncated", good.substr(0, good.size() - 5), "truncated at byte"},
                        Case{"cut", good.substr(0, at.back()), "incomplete"},
                        Case{"forged", forged, "at event 0: the recording has write(0, "},
                        Case{"stray", stray, "stores 8 bytes at 0x400000, where the program has no writable memory"},
                        Case{"greedy", greedy, "more than this run allows"}}) {
    spill(work.path() / c.name, c.bytes);
    Output o = tavik_run({"--replay", (work.path() / c.name).string()});
    EXPECT_EQ(o.status, 125) << c.name << ": " << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << c.name << ": " << o.err;
    EXPECT_EQ(o.out, "") << c.name;
  }
}

TEST(Replay, ARecordingStopsAtItsSizeLimitAndIsThenRefused) {
  ScratchRoot work;
  fs::path rec = work.path() / "big.rec";
  // 200 writes of 64 KiB to stdout: 12.5 MiB of output against a 1 MiB limit.
  std::vector<std::string> args{"--file-size-limit", "1048576", "--record", rec.string(),
                                std::string(TAVIK_HOST_GUEST_DIR) + "/probe"};
  for (int i = 0; i < 200; ++i) args.push_back("o:0:65536");
  Output recorded = tavik_run(args);
  EXPECT_EQ(recorded.status, 0) << "the run itself goes on: " << recorded.err;
  EXPECT_NE(recorded.err.find("the recording is incomplete"), std::string::npos) << recorded.err;
  EXPECT_LE(fs::file_size(rec), 1048576u);
  Output replayed = tavik_run({"--replay", rec.string()});
  EXPECT_EQ(replayed.status, 125);
  EXPECT_NE(replayed.err.find("incomplete"), std::string::npos) << replayed.err;
}

TEST(Replay, CounterReadsAndAStopByTheTimeLimitReplayAsTheyWere) {
  ScratchRoot work;
  const std::string faults = std::string(TAVIK_HOST_GUEST_DIR) + "/faults";
  // Two reads of the host's time-stamp counter, written to stdout: a replay has the recorded ones.
  fs::path tsc = work.path() / "tsc.rec";
  Output recorded = tavik_run({"--record", tsc.string(), faults, "t"});
  ASSERT_EQ(recorded.out.size(), 16u) << recorded.err;
  EXPECT_EQ(tavik_run({"--replay", tsc.string()}).out, recorded.out);
  // An endless loop that the time limit stopped: the replay stops at the same instruction, with no limit of its
  // own, and says the same.
  fs::path loop = work.path() / "loop.rec";
  recorded = tavik_run({"--timeout", "0.3", "--count-insns", "--record", loop.string(), faults, "l"});
  ASSERT_EQ(recorded.status, 137) << recorded.err;
  Output replayed = tavik_run({"--replay", loop.string(), "--count-insns"});
  EXPECT_EQ(replayed.status, 137);
  EXPECT_EQ(replayed.err, recorded.err);
}

TEST(Replay, ARecordingInTheGuestsRootIsOutOfItsReachUntilTheEnd) {
  ScratchRoot root;
  spill(root.path() / "run.rec", "an older recording");
  // The guest opens the recording's name: it finds the old file, never the one being written.
  Output recorded = tavik_run({"--root", root.str(), "--trace", "--record", (root.path() / "run.rec").string(),
                               std::string(TAVIK_HOST_GUEST_DIR) + "/probe", "p:0:/run.rec", "s:open:&0:0:0",
                               "s:read:$0:&0x100:64", "o:0x100:18", "q:0"});
  EXPECT_EQ(recorded.out, "an older recording") << recorded.err;
  Output replayed = tavik_run({"--replay", (root.path() / "run.rec").string()});
  EXPECT_EQ(replayed.status, 0) << "the new recording replaced the old one whole: " << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(std::distance(fs::directory_iterator(root.path()), fs::directory_iterator()), 1) << "no temporary left";
}

}  // namespace
