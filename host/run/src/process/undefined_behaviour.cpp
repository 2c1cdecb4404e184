// UndefinedBehaviour: the sanitizer's data as the compiler lays it out for i386 (a source location is a file
// pointer, a line and a column; a type descriptor is a kind, an info word and the type's name), read through the
// machine's checked copies, so that data a program corrupted gives a short report, never a crash.
#include "process/undefined_behaviour.hpp"


#include <tavik/elf/printable.hpp>

#include "base/strf.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "kernel/process_end.hpp"
#include "report/backtrace.hpp"
#include "report/trace.hpp"

namespace tavik {
namespace {

constexpr const char* kPrefix = "__ubsan_handle_";
constexpr const char* kChecks[] = {
    "add_overflow",  "sub_overflow",      "mul_overflow",       "negate_overflow",   "divrem_overflow",
    "shift_out_of_bounds", "out_of_bounds", "type_mismatch_v1", "vla_bound_not_positive", "load_invalid_value",
    "float_cast_overflow", "nonnull_arg", "nonnull_return_v1", "pointer_overflow", "invalid_builtin",
    "builtin_unreachable", "missing_return"};

// What a pointer check was checking, by the compiler's kind number.
constexpr const char* kAccessKinds[] = {"load of", "store to", "reference binding to", "member access within",
                                        "member call on", "constructor call on", "downcast of", "downcast of",
                                        "upcast of", "cast to virtual base of", "_Nonnull binding to",
                                        "dynamic operation on"};

constexpr uint32_t kLongestName = 256;

bool ends_the_process(const std::string& handler) {
  return handler.ends_with("_abort") || handler == "builtin_unreachable" || handler == "missing_return";
}

}  // namespace

UndefinedBehaviour::UndefinedBehaviour(CheckerContext ctx) : ctx_(std::move(ctx)) {}

void UndefinedBehaviour::install() {
  for (const char* check : kChecks)
    for (const std::string suffix : {"", "_abort"})
      if (std::optional<uint32_t> at = ctx_.image.function_named(kPrefix + std::string(check) + suffix))
        ctx_.m.on_instruction_at(*at, &UndefinedBehaviour::on_handler, this);
}

std::string UndefinedBehaviour::type_name(uint32_t type) const {
  std::string name;
  if (ctx_.m.read_cstring(type + 4, name, kLongestName) != 0) return "?";
  return elf::printable(name);
}

std::string UndefinedBehaviour::value(uint32_t type, uint32_t handle) const {
  uint16_t kind_info[2] = {0xffff, 0};
  ctx_.m.read_bytes(type, kind_info, 4);
  if (kind_info[0] != 0) return "<value>";  // floats and the unknown: the report names the type
  bool is_signed = kind_info[1] & 1;
  unsigned width = 1u << (kind_info[1] >> 1);
  uint64_t bits = handle;
  if (width > 64) return strf("<%u-bit value>", width);
  // Integers wider than a pointer are passed by address.
  if (width > 32 && ctx_.m.read_bytes(handle, &bits, 8) != 0) return "<unreadable>";
  if (width < 64) bits &= (uint64_t{1} << width) - 1;
  if (!is_signed) return strf("%llu", static_cast<unsigned long long>(bits));
  if (width < 64 && (bits >> (width - 1)) & 1) bits |= ~uint64_t{0} << width;
  return strf("%lld", static_cast<long long>(bits));
}

std::string UndefinedBehaviour::message(const std::string& handler, uint32_t data, uint32_t a, uint32_t b) const {
  std::string check = handler.ends_with("_abort") ? handler.substr(0, handler.size() - 6) : handler;
  uint32_t t1 = ctx_.word(data + 12), t2 = ctx_.word(data + 16);
  auto typed = [&](uint32_t type) { return type_name(type); };  // the compiler's names are quoted: 'int'

  if (check == "add_overflow" || check == "sub_overflow" || check == "mul_overflow") {
    char op = check[0] == 'a' ? '+' : check[0] == 's' ? '-' : '*';
    return strf("signed integer overflow: %s %c %s cannot be represented in type %s", value(t1, a).c_str(), op,
                value(t1, b).c_str(), typed(t1).c_str());
  }
  if (check == "negate_overflow")
    return strf("negation of %s cannot be represented in type %s; cast to an unsigned type to negate this value "
                "to itself", value(t1, a).c_str(), typed(t1).c_str());
  if (check == "divrem_overflow")
    return value(t1, b) == "0" ? "division by zero"
                               : strf("division of %s by -1 cannot be represented in type %s",
                                      value(t1, a).c_str(), typed(t1).c_str());
  if (check == "shift_out_of_bounds") {
    std::string lhs = value(t1, a), rhs = value(t2, b);
    uint16_t info = 0;
    ctx_.m.read_bytes(t1 + 2, &info, 2);
    unsigned width = 1u << (info >> 1);
    if (rhs[0] == '-') return strf("shift exponent %s is negative", rhs.c_str());
    if (std::stoull(rhs) >= width)
      return strf("shift exponent %s is too large for %u-bit type %s", rhs.c_str(), width, typed(t1).c_str());
    if (lhs[0] == '-') return strf("left shift of negative value %s", lhs.c_str());
    return strf("left shift of %s by %s places cannot be represented in type %s", lhs.c_str(), rhs.c_str(),
                typed(t1).c_str());
  }
  if (check == "out_of_bounds")
    return strf("index %s out of bounds for type %s", value(t2, a).c_str(), typed(t1).c_str());
  if (check == "type_mismatch_v1") {
    uint8_t align_kind[2] = {0, 0};
    ctx_.m.read_bytes(data + 16, align_kind, 2);
    const char* what = align_kind[1] < std::size(kAccessKinds) ? kAccessKinds[align_kind[1]] : "access of";
    uint32_t align = align_kind[0] < 32 ? 1u << align_kind[0] : 0;
    if (a == 0) return strf("%s null pointer of type %s", what, typed(t1).c_str());
    if (align && a % align)
      return strf("%s misaligned address 0x%08x for type %s, which requires %u byte alignment", what, a,
                  typed(t1).c_str(), align);
    return strf("%s address 0x%08x with insufficient space for an object of type %s", what, a, typed(t1).c_str());
  }
  if (check == "vla_bound_not_positive")
    return strf("variable length array bound evaluates to non-positive value %s", value(t1, a).c_str());
  if (check == "load_invalid_value")
    return strf("load of value %s, which is not a valid value for type %s", value(t1, a).c_str(), typed(t1).c_str());
  if (check == "float_cast_overflow")
    return strf("a value of type %s is outside the range of representable values of type %s", typed(t1).c_str(),
                typed(t2).c_str());
  if (check == "nonnull_arg")
    return strf("null pointer passed as argument %u, which is declared to never be null", ctx_.word(data + 24));
  if (check == "nonnull_return_v1") return "null pointer returned from function declared to never return null";
  if (check == "pointer_overflow")
    return strf("pointer index expression with base 0x%08x overflowed to 0x%08x", a, b);
  if (check == "invalid_builtin") {
    uint8_t kind = 0;
    ctx_.m.read_bytes(data + 12, &kind, 1);
    return strf("passing zero to %s(), which is not a valid argument", kind == 0 ? "ctz" : "clz");
  }
  if (check == "builtin_unreachable") return "execution reached an unreachable program point";
  if (check == "missing_return")
    return "execution reached the end of a value-returning function without returning a value";
  return "";
}

void UndefinedBehaviour::on_handler(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* u = static_cast<UndefinedBehaviour*>(self);
  u->ctx_.end.guarded([&] {
    uint32_t eip = static_cast<uint32_t>(addr), esp = u->ctx_.m.reg(UC_X86_REG_ESP);
    std::string handler = u->ctx_.image.function_at(eip);
    if (!handler.starts_with(kPrefix)) return;
    handler = handler.substr(std::string(kPrefix).size());
    uint32_t data = u->ctx_.word(esp + 4), a = u->ctx_.word(esp + 8), b = u->ctx_.word(esp + 12);
    bool ends = ends_the_process(handler);
    // Once per check of the source, as the sanitizer does; a check that ends the process always says why.
    if ((u->sites_.size() < kMostSites && u->sites_.insert(data).second) || ends) {
      // A null return is told at the return, whose location is the second argument.
      uint32_t loc = handler.starts_with("nonnull_return") && a ? a : data;
      std::string file;
      if (u->ctx_.m.read_cstring(u->ctx_.word(loc), file, kLongestName) != 0) file = "<unknown>";
      uint32_t line = u->ctx_.word(loc + 4), column = u->ctx_.word(loc + 8);
      std::string what = u->message(handler, data, a, b);
      std::string where = strf("%s:%u:%u", elf::printable(file).c_str(), line, column);
      Backtrace bt = Backtrace::of(u->ctx_.image, u->ctx_.m, eip, true);
      std::string text = strf("tavik: %s: %s: runtime error: %s\n", elf::printable(u->ctx_.name).c_str(), where.c_str(),
                              what.c_str()) +
                         bt.render();
      u->ctx_.say(text);
      u->ctx_.trace.runtime_error(where, what, bt);
    }
    if (ends) u->ctx_.end.exit(1);
  });
}

}  // namespace tavik
