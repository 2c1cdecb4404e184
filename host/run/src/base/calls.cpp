// The call list, built from tavik/calls.def.
#include "base/calls.hpp"

#include <tavik/abi.h>

#include <algorithm>

namespace tavik {
namespace {

const CallRow kCalls[] = {
#define TAVIK_CALL(nr, name, a, b, c, result) {nr, #name, {ArgKind::a, ArgKind::b, ArgKind::c}, ResultKind::result},
#include <tavik/calls.def>
#undef TAVIK_CALL
};

}  // namespace

const std::array<ArgKind, 3> kUnknownCallKinds{ArgKind::PTR, ArgKind::PTR, ArgKind::PTR};

bool CallRow::moves_data() const {
  return std::any_of(kinds.begin(), kinds.end(),
                     [](ArgKind k) { return k == ArgKind::BYTES_OUT || k == ArgKind::BYTES_IN; });
}

const CallRow* find_call(uint32_t nr) {
  for (const CallRow& r : kCalls)
    if (r.nr == nr) return &r;
  return nullptr;
}

const CallRow* find_call(const std::string& name) {
  for (const CallRow& r : kCalls)
    if (name == r.name) return &r;
  return nullptr;
}

std::optional<uint32_t> call_number(const std::string& name) {
  if (const CallRow* row = find_call(name)) return row->nr;
  const std::string prefix = "syscall_";
  if (name.rfind(prefix, 0) != 0) return std::nullopt;
  std::string digits = name.substr(prefix.size());
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (digits.empty() || digits.size() > 10 || !std::all_of(digits.begin(), digits.end(), is_digit))
    return std::nullopt;
  uint64_t nr = std::stoull(digits);
  // Only the spelling the trace itself uses names a call: no leading zeros, and no number the table names.
  if (nr > UINT32_MAX || std::to_string(nr) != digits || find_call(static_cast<uint32_t>(nr))) return std::nullopt;
  return static_cast<uint32_t>(nr);
}

}  // namespace tavik
