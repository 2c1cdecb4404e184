// The decodings come from the interface list: error names from TAVIK_ERRORS, flags from tavik/abi.h.
#include "report/trace_format.hpp"

#include <tavik/abi.h>

#include "base/strf.hpp"

namespace tavik {
namespace {

struct ErrorRow {
  int32_t number;
  const char* name;
  const char* text;
};

const ErrorRow kErrors[] = {
#define TAVIK_ERROR_ROW(nr, name, text) {nr, #name, text},
    TAVIK_ERRORS(TAVIK_ERROR_ROW)
#undef TAVIK_ERROR_ROW
};

const ErrorRow* error_row(int32_t number) {
  for (const ErrorRow& row : kErrors)
    if (row.number == number) return &row;
  return nullptr;
}

std::string open_flags(uint32_t v) {
  std::string out = (v & 3) == TAVIK_O_WRONLY ? "O_WRONLY" : (v & 3) == TAVIK_O_RDWR ? "O_RDWR" : "O_RDONLY";
  if ((v & 3) == 3) out = "O_ACCMODE";
  if (v & TAVIK_O_CREAT) out += "|O_CREAT";
  if (v & TAVIK_O_TRUNC) out += "|O_TRUNC";
  uint32_t rest = v & ~uint32_t{3 | TAVIK_O_CREAT | TAVIK_O_TRUNC};
  if (rest) out += strf("|%#x", rest);
  return out;
}

}  // namespace

const char* error_name(int32_t number) {
  const ErrorRow* row = error_row(number);
  return row ? row->name : nullptr;
}

const char* error_text(int32_t number) {
  const ErrorRow* row = error_row(number);
  return row ? row->text : nullptr;
}

std::string decode_arg(ArgKind kind, uint32_t value) {
  switch (kind) {
    case ArgKind::OPEN_FLAGS: return open_flags(value);
    case ArgKind::WHENCE:
      if (value == TAVIK_SEEK_SET) return "SEEK_SET";
      if (value == TAVIK_SEEK_CUR) return "SEEK_CUR";
      if (value == TAVIK_SEEK_END) return "SEEK_END";
      return std::to_string(static_cast<int32_t>(value));
    case ArgKind::MODE: return strf("%#o", value);
    default: return "";
  }
}

bool call_in_class(const CallRow& row, const std::string& word) {
  std::string w = !word.empty() && word[0] == '%' ? word.substr(1) : word;
  if (w == row.name) return true;
  if (w == "file") return row.kinds[0] == ArgKind::PATH;
  if (w == "desc")
    return row.kinds[0] == ArgKind::FD || row.kinds[1] == ArgKind::FD || row.kinds[0] == ArgKind::HANDLE;
  if (w == "process") return (row.result == ResultKind::NORETURN || row.result == ResultKind::PID);
  return false;
}

bool is_call_or_class(const std::string& word) {
  std::string w = !word.empty() && word[0] == '%' ? word.substr(1) : word;
  return w == "file" || w == "desc" || w == "process" || find_call(w) != nullptr;
}

}  // namespace tavik
