// Fuzz target: bytes as a tavik image. The loader must refuse anything unrunnable with a SetupError, and what it
// accepts runs for a bounded number of instructions: no crash, leak or undefined behaviour, whatever the bytes.
//
// With TAVIK_FUZZ_RESOURCES=1 (scripts/fuzz's "resources" target) the image runs as a hostile guest would: long
// (5 million instructions, one second), with 64 MiB of memory, spawning copies of itself (it lies in the root as
// /fuzz-image). An input is a finding when its run outlasts its time budget, grows this process by more than
// its memory budget, or leaves a host process behind.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "base/errors.hpp"
#include "kernel/fd_table.hpp"
#include "fuzz_env.hpp"
#include "cpu/image.hpp"
#include "process/tree.hpp"

using namespace tavik;

namespace {

bool resource_mode() {
  static const bool on = [] {
    const char* v = std::getenv("TAVIK_FUZZ_RESOURCES");
    return v != nullptr && v[0] == '1';
  }();
  return on;
}

// Resident memory of this process, in MiB.
long rss_mib() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE) / (1 << 20);
}

// Host processes forked from this one still there (the sanitizers' own helper programs aside).
int forked_children() {
  std::ifstream kids("/proc/self/task/" + std::to_string(::getpid()) + "/children");
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  int n = 0;
  for (std::string pid; kids >> pid;)
    if (std::filesystem::read_symlink("/proc/" + pid + "/exe", ec) == self) ++n;
  return n;
}

// Runs the bytes as an image with its standard streams on /dev/null, under --coverage and --profile; refusals and
// the kit's own failures are answers, not findings.
void run_bytes(const uint8_t* data, size_t size, RunOptions opt, fuzz::FuzzEnv& env) {
  // Every run is measured as well: the line table and symbols of the image name what ran.
  opt.measure.coverage_file = env.root() + "/.coverage";
  opt.measure.profile_file = env.root() + "/.profile";
  try {
    Image image = Image::parse(std::vector<uint8_t>(data, data + size), "fuzz-image", opt.limits.memory_cap);
    auto null = std::make_shared<OpenFile>(env.null_fd(), false);
    Tree(opt).stdio({null, null, null}).run(std::move(image), {"/fuzz-image"}, "fuzz-image");
  } catch (const SetupError&) {
  } catch (const EmulatorError&) {
  }
}

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "resource finding: %s\n", what);
  std::abort();
}

void run_for_resources(const uint8_t* data, size_t size, fuzz::FuzzEnv& env) {
  RunOptions opt = env.options();
  opt.limits.insn_limit = 5'000'000;
  opt.limits.timeout = 1.0;
  opt.limits.memory_cap = 64ull << 20;
  opt.limits.process_limit = 8;
  opt.limits.file_size_limit = 16 << 20;
  std::ofstream(env.root() + "/fuzz-image", std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  long before = rss_mib();
  auto start = std::chrono::steady_clock::now();
  run_bytes(data, size, opt, env);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (seconds > 3 * opt.limits.timeout + 1) finding("the run outlasted its time limit");
  // The guest's own memory is freed with its emulator; what stays grew with the input.
  if (rss_mib() - before > 256) finding("the run left this process larger by more than 256 MiB");
  if (forked_children() != 0) finding("the run left a child process");
  env.clean_root();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzEnv& env = fuzz::FuzzEnv::instance();
  if (resource_mode()) {
    run_for_resources(data, size, env);
    return 0;
  }
  RunOptions opt = env.options();
  // Mutated images that run long are mostly loops of one system call (a few thousand mkdir or open calls at
  // ~15 us each under the sanitizers); 10,000 instructions reach what the first thousand do and cost half.
  opt.limits.insn_limit = 10000;
  opt.limits.stack_size = 64 << 10;
  // Every call copies what it moves through host memory: an image may map 4 MiB, write 64 KiB files and 4 KiB a
  // call, so that inputs whose calls move gigabytes (a loop of writes of 2^31 bytes) do not crowd the corpus.
  opt.limits.memory_cap = 4ull << 20;
  opt.limits.file_size_limit = 64 << 10;
  opt.limits.write_limit = 4 << 10;
  // 10,000 instructions take a millisecond or so; only a call that waits can take longer, so the time limit
  // is short, and the waits an image reaches most easily answer at once, however often it calls them (a loop
  // of sleeps that outlasted a fixed number of answers slept to the limit: half of all fuzzing time).
  opt.limits.timeout = 0.05;
  opt.injects = {{"usleep", 0, 0}, {"pipe", 0, -24}, {"mkfifo", 0, -28}};
  run_bytes(data, size, opt, env);
  env.clean_root();
  return 0;
}
