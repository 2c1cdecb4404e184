// Image: a tavik executable read with libelf, with everything the loader relies on checked, and its symbols.
#pragma once

#include <cstdint>
#include <optional>
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
  uint32_t name;  // offset in the image's copy of its string tables
};

class Image {
 public:
  // Throws SetupError with a one-line reason for anything that is not a runnable tavik image.
  static Image load_file(const std::string& host_path, uint64_t memory_cap);
  static Image load_fd(int fd, const std::string& label, uint64_t memory_cap);
  static Image parse(std::vector<uint8_t> file, const std::string& label, uint64_t memory_cap);

  uint32_t entry() const { return entry_; }
  const std::string& label() const { return label_; }
  const std::vector<Segment>& segments() const { return segments_; }
  // The segments' file bytes are in the emulator's memory once it is built: the host copy goes.
  void drop_segment_bytes();
  // "name+0xoff" for the symbol holding addr, or "?" when none does.
  std::string symbolise(uint32_t addr) const;
  // The name of the symbol holding addr, or "".
  std::string function_at(uint32_t addr) const;
  // The first address of the symbol holding addr.
  std::optional<uint32_t> function_start(uint32_t addr) const;
  // The whole file when it carries debug information (for source lines and unwinding), else empty.
  const std::vector<uint8_t>& debug_file() const { return debug_file_; }
  // A forked child runs another image: this one's host copies go.
  void drop_contents();

 private:
  const Symbol* symbol_at(uint32_t addr) const;

  uint32_t entry_ = 0;
  std::string label_;
  std::vector<Segment> segments_;
  std::vector<Symbol> symbols_;  // sorted by value
  std::string names_;            // each symbol string table once, however many symbols share a name
  std::vector<uint8_t> debug_file_;
};

}  // namespace tavik
