// Fuzz target: the library's text-facing functions, inside a real tavik program. One fuzz_guest process runs for
// the whole session on an emulator thread, in its loop mode: each input goes down its standard input as a
// length-prefixed record and the guest answers one 0x06 byte on its standard output when done with it (after a
// thousand inputs it ends, and a fresh one takes over, since its heap never gives memory back). The guest's
// own code paths are the coverage: every block it enters lands in counters libFuzzer reads besides the host's.
// A guest that stops answering (a fault, or its checks failing) is a finding, reported with the input that did it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <unicorn/unicorn.h>

#include "base/errors.hpp"
#include "kernel/fd_table.hpp"
#include "fuzz_env.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "process/tree.hpp"
#include "base/strf.hpp"

using namespace tavik;
using tavik::fuzz::FuzzEnv;

// Guest edges, hashed; libFuzzer treats this section as coverage counters of its own.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t g_guest_edges[1 << 16];

namespace {

// The guest keeps the first 4 KiB of each input.
constexpr size_t kInputMost = 4096;
constexpr char kLoopMagic[4] = {'T', 'F', 'Z', 'L'};
constexpr char kAnswer = 0x06;

uint32_t g_previous_block = 0;

void on_guest_block(uc_engine*, uint64_t address, uint32_t, void*) {
  uint32_t block = static_cast<uint32_t>(address);
  g_guest_edges[(block ^ g_previous_block) & (sizeof g_guest_edges - 1)]++;
  g_previous_block = block >> 1;
}

std::string guest_image() {
  const char* env = std::getenv("TAVIK_FUZZ_GUEST");
  return env && *env ? env : TAVIK_FUZZ_GUEST_IMAGE;
}

void write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n <= 0) return;  // the guest is gone: the missing answer reports it
    p += n;
    size -= static_cast<size_t>(n);
  }
}

// The guest process and the two pipes to it. Lives until the fuzzing process ends.
class LoopGuest {
 public:
  LoopGuest() {
    FuzzEnv::instance();
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    to_guest_ = in[1];
    from_guest_ = out[0];
    thread_ = std::thread([this, in_read = in[0], out_write = out[1]] { run(in_read, out_write); });
    write_all(to_guest_, kLoopMagic, sizeof kLoopMagic);
  }

  ~LoopGuest() {
    ::close(to_guest_);
    ::close(from_guest_);
    if (thread_.joinable()) thread_.join();
  }
  LoopGuest(const LoopGuest&) = delete;
  LoopGuest& operator=(const LoopGuest&) = delete;

  // Feeds one input; false when the guest did not answer (it has ended, and result_ tells how).
  bool feed(const uint8_t* data, size_t size) {
    uint32_t n = static_cast<uint32_t>(size < kInputMost ? size : kInputMost);
    uint8_t header[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    write_all(to_guest_, header, sizeof header);
    write_all(to_guest_, data, n);
    for (;;) {
      char answer = 0;
      ssize_t got = ::read(from_guest_, &answer, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got != 1) break;
      if (answer == kAnswer) return true;
      said_ += answer;
    }
    thread_.join();
    return false;
  }

  const RunResult& result() const { return result_; }
  // What the guest wrote besides its answers: the reason, when its own checks failed.
  const std::string& said() const { return said_; }
  // It ended by itself after its share of inputs, not because of one.
  bool retired() const { return error_.empty() && said_.empty() && result_.end == RunResult::End::Exit && result_.status == 0; }
  const std::string& error() const { return error_; }

 private:
  void run(int in_read, int out_write) {
    // Owned from here on: however the run ends, closing the answers' end tells feed() it has.
    auto guest_in = std::make_shared<OpenFile>(in_read, true);
    auto guest_out = std::make_shared<OpenFile>(out_write, true);
    FuzzEnv& env = FuzzEnv::instance();
    RunOptions opt = env.options();
    opt.limits.timeout = 0;  // the session has no end of its own; libFuzzer's -timeout catches a guest that hangs
    opt.io.stderr_fd = 2;
    try {
      std::string image = guest_image();
      Image elf = Image::load_file(image, opt.limits.memory_cap);
      result_ = Tree(opt)
                    .stdio({std::move(guest_in), std::move(guest_out), std::make_shared<OpenFile>(2, false)})
                    .before_start([](Machine& m) { m.on_every_block(&on_guest_block, nullptr); })
                    .run(std::move(elf), {image, std::string(8192, 'x')}, "fuzz_guest");
    } catch (const std::exception& e) {
      error_ = e.what();
    }
  }

  int to_guest_ = -1;
  int from_guest_ = -1;
  std::thread thread_;
  RunResult result_;
  std::string error_;
  std::string said_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Never destroyed: the guest thread outlives any exit path of the fuzzing process.
  static LoopGuest* guest = new LoopGuest;
  if (guest->feed(data, size)) return 0;
  if (guest->retired()) {
    delete guest;  // its thread has ended
    guest = new LoopGuest;
    if (guest->feed(data, size)) return 0;
  }
  const RunResult& r = guest->result();
  if (!guest->error().empty()) {
    std::fprintf(stderr, "fuzz_guest: cannot run the guest: %s\n", guest->error().c_str());
    std::exit(2);
  }
  std::string how = r.end == RunResult::End::Exit    ? strf("exit, status %d", r.status)
                    : r.end == RunResult::End::Fault ? strf("%s at %#x, address %#x", fault_name(r.fault.kind),
                                                            r.fault.eip, r.fault.addr)
                                                     : std::string("stopped: ") + limit_name(r.killed);
  std::fprintf(stderr, "fuzz_guest: finding: the guest ended (%s) %s\n", how.c_str(), guest->said().c_str());
  std::abort();
}
