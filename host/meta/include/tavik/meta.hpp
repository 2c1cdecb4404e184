// tavik-meta's library: reads a tavik image with libelf, decodes its command and package records, checks its layout.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <tavik/elf/file.hpp>
#include <tavik/elf/printable.hpp>
#include <tavik/image.h>

namespace tavik::meta {

// A file that cannot be read as a tavik image, or a record that cannot be decoded; the message is one line.
struct MetaError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using elf::Header;
using elf::Section;
using elf::Segment;
using elf::Symbol;

// An image as tavik-meta reads it: the shared reader's File, whose section headers and symbol table must be
// sound too (MetaError naming the first fault otherwise).
class ElfImage : public elf::File {
 public:
  static ElfImage load(const std::string& path);                              // throws MetaError
  static ElfImage from_bytes(std::vector<uint8_t> bytes, std::string label);  // throws MetaError

 private:
  explicit ElfImage(elf::File&& file) : elf::File(std::move(file)) {}
  static ElfImage checked(elf::File&& file);
};

// One decoded record: a 4-byte magic, a little-endian version word, zero-terminated strings, an end byte.
struct Record {
  std::string magic;
  uint32_t version = 0;
  std::vector<std::string> strings;
  uint32_t length = 0;  // bytes, the end byte included
};

// Decodes bytes that must hold exactly one record with this magic; throws MetaError naming the first fault.
Record parse_record(std::span<const uint8_t> bytes, std::string_view magic);

// A record as found in an image: the record and the section that carries it.
struct FoundRecord {
  Record record;
  Section section;
};

struct ImageRecords {
  FoundRecord command;  // the command section: description, usage
  FoundRecord package;  // the package section: name, revision
};

inline constexpr std::string_view kCommandSection = TAVIK_COMMAND_SECTION;
inline constexpr std::string_view kPackageSection = TAVIK_PACKAGE_SECTION;
inline constexpr std::string_view kCommandMagic = TAVIK_COMMAND_MAGIC;
inline constexpr std::string_view kPackageMagic = TAVIK_PACKAGE_MAGIC;

// Finds both records by section name; throws MetaError ("<section>: <fault>") when either is missing or broken.
ImageRecords read_records(const ElfImage& image);

// The checks of a tavik command image; each violation is one line naming the part and the values found.
class ImageChecker {
 public:
  enum class Mode { Full, LayoutOnly };
  explicit ImageChecker(Mode mode) : mode_(mode) {}
  std::vector<std::string> check(const ElfImage& image) const;

 private:
  Mode mode_;
};

// Short human form of an image's records, several lines ending in a newline.
std::string format_text(const std::string& path, const ImageRecords& records);
// One JSON object: the magic, version, strings and the section's place in the file, for each record.
nlohmann::ordered_json to_json(const std::string& path, const ImageRecords& records);
// Bytes outside printable ASCII as \xNN, so that no file can put control bytes on a terminal; idempotent.
using elf::printable;

}  // namespace tavik::meta
