// Image: a tavik executable as the loader takes it: read by the shared ELF reader, with everything the loader
// relies on checked, its symbols, and its debug information (opened once, when first asked for).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavik::elf {
class DebugInfo;
}

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
  uint32_t name;  // offset in the image's copy of its symbol string table
  bool local = false;
};

class Image {
 public:
  // Throws SetupError with a one-line reason for anything that is not a runnable tavik image.
  static Image load_file(const std::string& host_path, uint64_t memory_cap);
  static Image load_fd(int fd, const std::string& label, uint64_t memory_cap);
  static Image parse(std::vector<uint8_t> file, const std::string& label, uint64_t memory_cap);
  // The bytes load_file and load_fd parse (only the magic of a file that is no ELF image): for a recording.
  static std::vector<uint8_t> read_file(const std::string& host_path, uint64_t memory_cap);
  static std::vector<uint8_t> read_fd(int fd, const std::string& label, uint64_t memory_cap);
  Image(Image&&) noexcept;
  Image& operator=(Image&&) noexcept;
  ~Image();

  uint32_t entry() const { return entry_; }
  const std::string& label() const { return label_; }
  const std::vector<Segment>& segments() const { return segments_; }
  // The segments' file bytes are in the emulator's memory once it is built: the host copy goes.
  void drop_segment_bytes();
  // "name+0xoff" for the symbol holding addr (C++ names demangled), or "?" when none does.
  std::string symbolise(uint32_t addr) const;
  // The name of the symbol holding addr (C++ names demangled), or "".
  std::string function_at(uint32_t addr) const;
  // The first address of the symbol holding addr.
  std::optional<uint32_t> function_start(uint32_t addr) const;
  // The address of the function named exactly name (the library's abort, say).
  std::optional<uint32_t> function_named(const std::string& name) const;
  // The symbol named exactly name, function or data. The library's internals (its heap arena, say) are local to
  // it, and a program may have a global of the same name: a local symbol comes first.
  std::optional<Symbol> symbol_named(const std::string& name) const;
  // The image's debug information (line tables, unwinding), opened on the first call; nullptr without any.
  elf::DebugInfo* debug_info() const;
  // A forked child runs another image: this one's host copies go.
  void drop_contents();

 private:
  Image() = default;
  const Symbol* symbol_at(uint32_t addr) const;

  uint32_t entry_ = 0;
  std::string label_;
  std::vector<Segment> segments_;
  std::vector<Symbol> symbols_;  // sorted by value
  std::string names_;            // the symbol string table once, however many symbols share a name
  std::vector<uint8_t> debug_file_;  // the whole file while its debug information is not yet opened
  mutable std::unique_ptr<elf::DebugInfo> debug_;
};

}  // namespace tavik
