// Fuzz target: bytes as an image for tavik-meta. Reading, the records in text and JSON, and both kinds of check
// must end in a result or a MetaError, whatever the bytes; the raw bytes are also decoded as a lone record.
#include <cstdint>
#include <span>
#include <vector>

#include "tavik/meta.hpp"

using namespace tavik::meta;

namespace {

void records_of(const ElfImage& image) {
  try {
    ImageRecords records = read_records(image);
    (void)format_text("fuzz-image", records);
    (void)to_json("fuzz-image", records).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const MetaError&) {
  }
}

void checks_of(const ElfImage& image) {
  for (auto mode : {ImageChecker::Mode::Full, ImageChecker::Mode::LayoutOnly})
    for (const std::string& line : ImageChecker(mode).check(image)) (void)printable(line);
}

void lone_record(std::span<const uint8_t> bytes) {
  for (auto magic : {kCommandMagic, kPackageMagic}) {
    try {
      Record record = parse_record(bytes, magic);
      for (const std::string& s : record.strings) (void)printable(s);
    } catch (const MetaError&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lone_record({data, size});
  try {
    ElfImage image = ElfImage::from_bytes(std::vector<uint8_t>(data, data + size), "fuzz-image");
    records_of(image);
    checks_of(image);
  } catch (const MetaError&) {
  }
  return 0;
}
