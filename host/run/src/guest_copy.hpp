// Copying a guest's bytes to a host descriptor, in bounded chunks: a huge count costs no host memory.
#pragma once

#include <cstdint>
#include <string>

namespace tavik {

class Machine;

constexpr uint32_t kCopyChunk = 64 * 1024;

// Writes len guest bytes from buf to host_fd: the count written, or -errno / -14 when nothing could be written.
// A range that runs into unmapped memory copies what lies before it. record, when given, gets the bytes written.
int32_t copy_to_host(const Machine& m, int host_fd, uint32_t buf, uint32_t len, std::string* record);

}  // namespace tavik
