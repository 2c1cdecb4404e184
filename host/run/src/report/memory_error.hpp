// MemoryError: one error --memcheck or the address sanitizer found (an access outside every live block, or a free
// of what is not one), and its report in the fault report's form: the headline, where the address lies, the
// access's backtrace, and the block's allocation and release.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/backtrace.hpp"

namespace tavik {

class Image;

struct MemoryError {
  std::string what;      // "invalid read", "invalid write", "invalid free", "invalid realloc"
  uint32_t size = 0;     // bytes accessed (accesses only)
  uint32_t addr = 0;
  uint32_t eip = 0;
  std::string where;     // "0 bytes after a block of size 10 allocated", "40 bytes below the stack pointer"...
  Backtrace at;
  std::optional<Backtrace> allocated, freed;
  // The address sanitizer's: "READ" or "WRITE" for an access, and the headline of a bad free ("" for memcheck).
  std::string access = {}, headline = {};
};

// The report's text:
//   tavik: NAME: invalid write of 1 byte at 0x5ff00022, eip 0x0040107a (main+0x2a)
//     address 0x5ff00022 is 0 bytes after a block of size 10 allocated
//     source: bad.c:7
//     backtrace: ...
//     freed: ... (a freed block)
//     allocated: ...
std::string render_memory_error(const std::string& process, const MemoryError& e, const Image& image);
// The address sanitizer's report, in its words (e.what is the kind, e.where says where the address lies):
//   tavik: NAME: AddressSanitizer: heap-buffer-overflow on address 0x5fe0001a, eip 0x0040107a (main+0x2a)
//     WRITE of size 1 at 0x5fe0001a
//     backtrace: ...
//     0x5fe0001a is located 0 bytes after 10-byte region [0x5fe00010,0x5fe0001a)
//     allocated: ...
//     SUMMARY: AddressSanitizer: heap-buffer-overflow bad.c:7:12 in main
std::string render_address_error(const std::string& process, const MemoryError& e, const Image& image);

// The heap's and the checker's account at a process's end.
struct MemcheckSummary {
  uint64_t errors = 0, sites = 0;
  uint64_t allocs = 0, frees = 0, bytes = 0, freed_bytes = 0, in_use_blocks = 0, in_use_bytes = 0;
  bool heap_checked = true;  // false: the image has no library heap, only the stack was checked
};
std::string render_memcheck_summary(const std::string& process, const MemcheckSummary& s);

}  // namespace tavik
