// copy_to_host: chunk by chunk, each chunk checked against the guest's map before it is read.
#include "kernel/guest_copy.hpp"

#include <tavik/abi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kernel/host_errors.hpp"
#include "kernel/kernel.hpp"
#include "cpu/machine.hpp"

namespace tavik {

namespace {

// What a descriptor that said it is writable takes without waiting: one pipe buffer page.
constexpr uint32_t kPiece = 4096;

}  // namespace

int32_t copy_to_host(const Machine& m, int host_fd, uint32_t buf, uint32_t len, Call& call,
                     const WaitWritable& wait_writable, WaitWhen when) {
  // A command's usual write (a line, a record) is copied on the stack: a heap buffer for each cost a tenth of a
  // write's whole time in the kit.
  char small[512];
  std::vector<char> large(len > sizeof small ? std::min(len, kCopyChunk) : 0);
  char* chunk = large.empty() ? small : large.data();
  uint32_t total = 0;
  while (total < len) {
    uint32_t want = std::min(kCopyChunk, len - total);
    uint32_t avail = m.span(buf + total, want, UC_PROT_READ);
    if (avail == 0 || uint64_t(buf) + total + avail > 0x100000000ull) return total ? int32_t(total) : kEFAULT;
    m.read_bytes(buf + total, chunk, avail);
    uint32_t done = 0;
    while (done < avail) {
      uint32_t piece = wait_writable ? std::min(avail - done, kPiece) : avail - done;
      int32_t refused = wait_writable && when == WaitWhen::Before ? wait_writable() : 0;
      ssize_t n = refused ? -1 : ::write(host_fd, chunk + done, piece);
      if (n < 0 && !refused && errno == EINTR) continue;
      if (n < 0 && !refused && errno == EAGAIN && wait_writable && when == WaitWhen::OnWouldBlock) {
        refused = wait_writable();
        if (!refused) continue;
      }
      if (n <= 0) {
        call.show(chunk, done);
        total += done;
        if (total) return int32_t(total);
        if (refused) return refused;
        return n < 0 ? neg_errno() : -TAVIK_EIO;
      }
      done += static_cast<uint32_t>(n);
    }
    call.show(chunk, avail);
    total += avail;
    if (avail < want) break;
  }
  return static_cast<int32_t>(total);
}

}  // namespace tavik
