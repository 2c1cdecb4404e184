// tavik::elf::File: an ELF32 little-endian file read whole, every header, size and offset checked against the
// file before use. tavik-run's loader and tavik-meta both read images through it; the bounds a hostile file meets
// are these, in one place.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavik::elf {

// A file that cannot be read as a 32-bit little-endian ELF file; the message is one line naming the fault.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The most bytes a file may have to be read at all: no tavik image comes near it.
inline constexpr uint64_t kMaxFileSize = 256ull << 20;

struct Segment {
  uint32_t type, flags, offset, vaddr, filesz, memsz, align;
};

// Names are views of the file's own bytes: valid while the File lives, costing nothing however many entries
// share one.
struct Section {
  size_t index;
  std::string_view name;
  uint32_t type, flags, addr, offset, size, align, entsize, link;
};

struct Symbol {
  std::string_view name;
  uint32_t name_offset;  // in the symbol table's string table (File::symbol_strings)
  uint32_t value, size;
  unsigned bind, type;
  uint16_t shndx;
};

struct Header {
  std::array<uint8_t, 16> ident;
  uint16_t type, machine;
  uint32_t version, entry;
};

class File {
 public:
  // Reads a regular file without waiting on a FIFO; throws Error.
  static File load(const std::string& path, uint64_t max_size = kMaxFileSize);
  // The header and the program headers must be sound (Error otherwise). Sections and symbols are read as far as
  // they are sound: the first fault among them is section_fault(), and then there are none.
  static File from_bytes(std::vector<uint8_t> bytes, std::string label);
  File(File&&) = default;
  File& operator=(File&&) = default;
  File(const File&) = delete;  // the names point into this file's bytes
  File& operator=(const File&) = delete;

  const std::string& label() const { return label_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // Hands over the bytes; nothing of this File may be used afterwards.
  std::vector<uint8_t> take_bytes() { return std::move(bytes_); }
  uint64_t file_size() const { return bytes_.size(); }
  const Header& header() const { return header_; }
  const std::vector<Segment>& segments() const { return segments_; }
  // The file bytes of a segment (filesz of them).
  std::span<const uint8_t> contents(const Segment& segment) const;

  // Why the section headers or the symbol table cannot be used; empty when they can.
  const std::string& section_fault() const { return section_fault_; }
  const std::vector<Section>& sections() const { return sections_; }
  const Section* find_section(std::string_view name) const;
  // The file bytes of a section; empty for NOBITS.
  std::span<const uint8_t> contents(const Section& section) const;
  bool has_symtab() const { return has_symtab_; }
  const std::vector<Symbol>& symbols() const { return symbols_; }
  std::vector<const Symbol*> find_symbols(std::string_view name) const;
  // The string table the symbols' names are in (empty without a symbol table).
  std::span<const uint8_t> symbol_strings() const;
  // Whether the file carries line or call-frame information (.debug_line or .debug_frame).
  bool has_debug_info() const;

 private:
  File() = default;
  class Reader;

  std::string label_;
  std::vector<uint8_t> bytes_;
  Header header_{};
  std::vector<Segment> segments_;
  std::vector<Section> sections_;
  std::vector<Symbol> symbols_;
  size_t symbol_strings_ = 0;  // section index
  bool has_symtab_ = false;
  std::string section_fault_;
};

}  // namespace tavik::elf
