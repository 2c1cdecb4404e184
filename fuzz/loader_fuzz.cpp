// Fuzz target: bytes as a tavik image. The loader must refuse anything unrunnable with a SetupError, and what it
// accepts runs for a bounded number of instructions: no crash, leak or undefined behaviour, whatever the bytes.
#include <cstdint>
#include <vector>

#include "errors.hpp"
#include "fd_table.hpp"
#include "fuzz_env.hpp"
#include "image.hpp"
#include "run_builder.hpp"

using namespace tavik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzEnv& env = fuzz::FuzzEnv::instance();
  RunOptions opt = env.options();
  // Mutated images that run long are mostly loops of one system call (a few thousand mkdir or open calls at
  // ~15 us each under the sanitizers); 10,000 instructions reach what the first thousand do and cost half.
  opt.insn_limit = 10000;
  opt.stack_size = 64 << 10;
  // Every call copies what it moves through host memory: an image may map 4 MiB, write 64 KiB files and 4 KiB a
  // call, so that inputs whose calls move gigabytes (a loop of writes of 2^31 bytes) do not crowd the corpus.
  opt.memory_cap = 4ull << 20;
  opt.file_size_limit = 64 << 10;
  opt.write_limit = 4 << 10;
  // 10,000 instructions take a millisecond or so; only a call that waits can take longer, so the time limit
  // is short, and the waits an image reaches most easily answer at once, however often it calls them (a loop
  // of sleeps that outlasted a fixed number of answers slept to the limit: half of all fuzzing time).
  opt.timeout = 0.05;
  opt.injects = {{"usleep", 0, 0}, {"pipe", 0, -24}, {"mkfifo", 0, -28}};
  try {
    Image image = Image::parse(std::vector<uint8_t>(data, data + size), "fuzz-image", opt.memory_cap);
    auto null = std::make_shared<OpenFile>(env.null_fd(), false);
    RunBuilder(opt).stdio({null, null, null}).run(image, {"/fuzz-image"}, "fuzz-image");
  } catch (const SetupError&) {
  } catch (const EmulatorError&) {
  }
  env.clean_root();
  return 0;
}
