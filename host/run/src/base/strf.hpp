// strf: printf-style formatting into a std::string.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace tavik {

inline std::string strf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

inline std::string strf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap2);
  va_end(ap2);
  return out;
}

}  // namespace tavik
