// copy_to_host: chunk by chunk, each chunk checked against the guest's map before it is read.
#include "guest_copy.hpp"

#include <tavik/abi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kernel.hpp"
#include "machine.hpp"

namespace tavik {

int32_t copy_to_host(const Machine& m, int host_fd, uint32_t buf, uint32_t len, std::string* record) {
  std::vector<char> chunk(std::min(len, kCopyChunk));
  uint32_t total = 0;
  while (total < len) {
    uint32_t want = std::min(kCopyChunk, len - total);
    uint32_t avail = m.span(buf + total, want, UC_PROT_READ);
    if (avail == 0 || uint64_t(buf) + total + avail > 0x100000000ull) return total ? int32_t(total) : kEFAULT;
    m.read_bytes(buf + total, chunk.data(), avail);
    uint32_t done = 0;
    while (done < avail) {
      ssize_t n = ::write(host_fd, chunk.data() + done, avail - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (record) record->append(chunk.data(), done);
        total += done;
        return total ? int32_t(total) : (n < 0 ? neg_errno() : -TAVIK_EIO);
      }
      done += static_cast<uint32_t>(n);
    }
    if (record) record->append(chunk.data(), avail);
    total += avail;
    if (avail < want) break;
  }
  return static_cast<int32_t>(total);
}

}  // namespace tavik
