// ElfImage: the shared reader, with the section headers and the symbol table required whole.
#include "tavik/meta.hpp"

namespace tavik::meta {

ElfImage ElfImage::checked(elf::File&& file) {
  if (!file.section_fault().empty()) throw MetaError(file.section_fault());
  return ElfImage(std::move(file));
}

ElfImage ElfImage::load(const std::string& path) {
  try {
    return checked(elf::File::load(path));
  } catch (const elf::Error& e) {
    throw MetaError(e.what());
  }
}

ElfImage ElfImage::from_bytes(std::vector<uint8_t> bytes, std::string label) {
  try {
    return checked(elf::File::from_bytes(std::move(bytes), std::move(label)));
  } catch (const elf::Error& e) {
    throw MetaError(e.what());
  }
}

}  // namespace tavik::meta
