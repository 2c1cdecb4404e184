// Copying a guest's bytes to a host descriptor, in bounded chunks: a huge count costs no host memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tavik {

class Call;
class Machine;

constexpr uint32_t kCopyChunk = 64 * 1024;

// Before each piece written to a descriptor that can wait (a pipe, a FIFO, a terminal), or on a non-blocking
// descriptor only after it said the piece would block: 0 when the piece may be written now, or the negated
// error the write ends with (nothing fits and the guest asked not to wait; the time limit passed).
using WaitWritable = std::function<int32_t()>;
enum class WaitWhen { Before, OnWouldBlock };

// Writes len guest bytes from buf to host_fd: the count written, or the error / -14 when nothing could be
// written. A range that runs into unmapped memory copies what lies before it. The bytes written are shown to the
// call's trace. With wait_writable, the bytes go in pieces small enough never to block once it said yes.
int32_t copy_to_host(const Machine& m, int host_fd, uint32_t buf, uint32_t len, Call& call,
                     const WaitWritable& wait_writable = {}, WaitWhen when = WaitWhen::Before);

}  // namespace tavik
