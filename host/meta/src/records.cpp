// The command and package records: found by section name, decoded with every string bounded by its section.
#include <cstring>

#include <libelf.h>

#include "tavik/meta.hpp"

namespace tavik::meta {
namespace {

constexpr size_t kHeadSize = 8;  // magic and version word

uint32_t le32(std::span<const uint8_t> bytes, size_t at) {
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

FoundRecord find_record(const ElfImage& image, std::string_view name, std::string_view magic, const char* first,
                        const char* second) {
  const std::string where(name);
  const Section* section = image.find_section(name);
  if (!section) throw MetaError("no section " + where);
  if (section->type == SHT_NOBITS) throw MetaError(where + ": the section has no bytes in the file (NOBITS)");
  try {
    Record record = parse_record(image.contents(*section), magic);
    if (record.strings.size() < 2)
      throw MetaError("the record has " + std::to_string(record.strings.size()) + " string(s); it needs a " + first +
                      " and a " + second);
    return {std::move(record), *section};
  } catch (const MetaError& e) {
    throw MetaError(where + ": " + e.what());
  }
}

}  // namespace

Record parse_record(std::span<const uint8_t> bytes, std::string_view magic) {
  if (bytes.size() < kHeadSize)
    throw MetaError("the record is " + std::to_string(bytes.size()) + " bytes, shorter than its 8-byte head");
  Record record;
  record.magic.assign(reinterpret_cast<const char*>(bytes.data()), 4);
  if (record.magic != magic)
    throw MetaError("wrong magic \"" + printable(record.magic) + "\", expected \"" + std::string(magic) + "\"");
  record.version = le32(bytes, 4);

  // Strings run back to back until an empty one, the end byte; each must end inside the section.
  size_t at = kHeadSize;
  for (;;) {
    if (at == bytes.size())
      throw MetaError("the record does not end in two zero bytes (no end byte after the string ending at offset " +
                      std::to_string(at - 1) + ")");
    const void* nul = std::memchr(bytes.data() + at, 0, bytes.size() - at);
    if (!nul)
      throw MetaError("the string at offset " + std::to_string(at) + " runs past the end of the section (" +
                      std::to_string(bytes.size()) + " bytes) without a zero byte");
    size_t end = static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes.data());
    if (end == at) break;
    record.strings.emplace_back(reinterpret_cast<const char*>(bytes.data()) + at, end - at);
    at = end + 1;
  }
  record.length = static_cast<uint32_t>(at + 1);
  if (record.length != bytes.size())
    throw MetaError(std::to_string(bytes.size() - record.length) + " byte(s) follow the record's end byte at offset " +
                    std::to_string(at));
  return record;
}

ImageRecords read_records(const ElfImage& image) {
  return {find_record(image, kCommandSection, kCommandMagic, "description", "usage"),
          find_record(image, kPackageSection, kPackageMagic, "name", "revision")};
}

}  // namespace tavik::meta
