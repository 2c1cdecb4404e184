// printable: bytes 0x20..0x7e as they are, every other one escaped.
#include "tavik/elf/printable.hpp"

namespace tavik::elf {

std::string printable(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace tavik::elf
