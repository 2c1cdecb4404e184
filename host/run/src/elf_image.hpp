// ElfImage: reads a tavik executable with libelf, validates everything the loader relies on, keeps the symbols.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavik {

struct Segment {
  uint32_t vaddr;
  uint32_t memsz;
  uint32_t perms;              // UC_PROT_* bits
  std::vector<uint8_t> bytes;  // the file part (filesz bytes)
};

struct Symbol {
  uint32_t value;
  uint32_t size;
  std::string name;
};

class ElfImage {
 public:
  // Throws LoadError with a one-line reason for anything that is not a runnable tavik image.
  static ElfImage load_file(const std::string& host_path, uint64_t memory_cap);
  static ElfImage load_fd(int fd, const std::string& label, uint64_t memory_cap);
  static ElfImage parse(std::vector<uint8_t> file, const std::string& label, uint64_t memory_cap);

  uint32_t entry() const { return entry_; }
  const std::vector<Segment>& segments() const { return segments_; }
  // "name+0xoff" for the symbol holding addr, or "?" when none does.
  std::string symbolise(uint32_t addr) const;

 private:
  uint32_t entry_ = 0;
  std::vector<Segment> segments_;
  std::vector<Symbol> symbols_;  // sorted by value
};

// The stack lies directly below this address; nothing of the image may reach it.
constexpr uint32_t kStackTop = 0xC0000000u;
constexpr uint32_t kPage = 4096;

}  // namespace tavik
