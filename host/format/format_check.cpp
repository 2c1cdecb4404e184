// tavik-format: a GCC plugin, loaded by tavik-cc, tavik-c++ and the i386-tavik toolchain file, that reads the
// format strings of the library's two printf engines as those engines read them, and warns (under -Wformat, which
// -Wall turns on) where a program seems to expect what the engine will not do: a directive the stream printf
// writes as text ("%-10s" writes "%-" and "10s", and its argument goes to the next directive), a conversion the
// buffer formatter does not know, "ll" where it takes one 32-bit word, a flag it ignores, the 0xFF sequence a
// leading "%c" sends to descriptor 1, and arguments whose types do not match their directives.
#include <gcc-plugin.h>
#include <plugin-version.h>

#include <tree.h>
#include <diagnostic-core.h>
#include <options.h>
#include <stringpool.h>
#include <tree-iterator.h>

#include <cstring>
#include <string>

int plugin_is_GPL_compatible;

namespace {

enum class Engine { Stream, Buffer };

// The entry points and where their format and first argument are (-1: a va_list, whose types are not known).
struct Entry {
  const char* name;
  Engine engine;
  int format;
  int first_arg;
};

constexpr Entry kEntries[] = {
    {"printf", Engine::Stream, 0, 1},    {"fprintf", Engine::Stream, 1, 2},   {"vfprintf", Engine::Stream, 1, -1},
    {"snprintf", Engine::Buffer, 2, 3},  {"vsnprintf", Engine::Buffer, 2, -1}, {"sprintf", Engine::Buffer, 1, 2},
    {"vsprintf", Engine::Buffer, 1, -1},
};

const Entry* entry_of(tree fndecl) {
  if (!fndecl || !DECL_NAME(fndecl) || !TREE_PUBLIC(fndecl)) return nullptr;
  const char* name = IDENTIFIER_POINTER(DECL_NAME(fndecl));
  for (const Entry& e : kEntries)
    if (std::strcmp(name, e.name) == 0) return &e;
  return nullptr;
}

// The string literal a format argument points at, or nullptr.
const char* literal_of(tree arg, size_t& length) {
  STRIP_NOPS(arg);
  if (TREE_CODE(arg) != ADDR_EXPR) return nullptr;
  tree target = TREE_OPERAND(arg, 0);
  if (TREE_CODE(target) == ARRAY_REF) {
    if (!integer_zerop(TREE_OPERAND(target, 1))) return nullptr;
    target = TREE_OPERAND(target, 0);
  }
  if (TREE_CODE(target) != STRING_CST) return nullptr;
  length = static_cast<size_t>(TREE_STRING_LENGTH(target));
  return TREE_STRING_POINTER(target);
}

// What one directive asks of its argument.
enum class Wants { Int32, Int64, String, Pointer };

class Checker {
 public:
  Checker(tree call, const Entry& entry) : call_(call), entry_(entry), loc_(EXPR_LOCATION(call)) {
    next_arg_ = entry.first_arg;
  }

  void check(const char* format, size_t length) {
    const char* end = format + length;
    if (entry_.engine == Engine::Stream && entry_.first_arg >= 0 && std::strncmp(format, "%c", 2) == 0) {
      warning_at(loc_, OPT_Wformat_,
                 "a format that begins with %%c sends the 0xFF sequence (0xff and the low bytes of the next three "
                 "arguments) when written to descriptor 1, not a character");
    }
    for (const char* p = format; p < end && *p; ++p) {
      if (*p != '%') continue;
      const char* start = p;
      p = entry_.engine == Engine::Stream ? stream_directive(p + 1) : buffer_directive(p + 1);
      if (!p || !*p) {
        if (p != start + 1)
          warning_at(loc_, OPT_Wformat_, "the format ends inside the directive %qs, which produces nothing",
                     std::string(start).c_str());
        return;
      }
    }
  }

 private:
  // The text of the directive from its '%' to p (inclusive), for messages.
  static std::string text(const char* percent, const char* p) { return std::string(percent, p + 1); }

  void width_and_precision(const char*& p) {
    if (*p == '*') {
      take(Wants::Int32, "*");
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') ++p;
    }
    if (*p != '.') return;
    ++p;
    if (*p == '*') {
      take(Wants::Int32, ".*");
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') ++p;
    }
  }

  // The stream printf: width, precision, 'l' or 'll', then the conversion. Returns the conversion's place.
  const char* stream_directive(const char* p) {
    const char* percent = p - 1;
    if (!*p) return p;
    width_and_precision(p);
    bool wide = false;
    if (*p == 'l') {
      ++p;
      if (*p == 'l') wide = true, ++p;
    }
    if (!*p) return p;
    std::string d = text(percent, p);
    switch (*p) {
      case 'd': case 'i': case 'u': case 'x':
        take(wide ? Wants::Int64 : Wants::Int32, d);
        return p;
      case 'p': take(wide ? Wants::Int64 : Wants::Pointer, d); return p;
      case 'c': take(Wants::Int32, d); return p;
      case 's': take(Wants::String, d); return p;
      case '%': return p;
      case '-': case '+': case ' ': case '#':
        warning_at(loc_, OPT_Wformat_,
                   "the stream printf takes no flags: it writes %qs and the rest of the directive as text, and the "
                   "argument meant for it goes to the next directive (the buffer formatter snprintf takes flags)",
                   d.c_str());
        return p;
      case 'X':
        warning_at(loc_, OPT_Wformat_,
                   "the stream printf has no %%X: %qs is written as text and takes no argument (use %%x)", d.c_str());
        return p;
      default:
        warning_at(loc_, OPT_Wformat_, "the stream printf does not know %qs: it is written as text and takes no argument",
                   d.c_str());
        return p;
    }
  }

  // The buffer formatter: flags, width, precision, one of 'l', 'll', 'z', then the conversion.
  const char* buffer_directive(const char* p) {
    const char* percent = p - 1;
    bool left = false, zero = false, plus = false;
    for (; *p == '-' || *p == '0' || *p == '+'; ++p) {
      left |= *p == '-';
      zero |= *p == '0';
      plus |= *p == '+';
    }
    const char* sized = p;
    width_and_precision(p);
    bool has_size = p != sized;
    bool ll = false;
    if (*p == 'l') {
      ++p;
      if (*p == 'l') ll = true, ++p;
    } else if (*p == 'z') {
      ++p;
    }
    if (!*p) return p;
    std::string d = text(percent, p);
    if (ll && std::strchr("diuxX", *p))
      warning_at(loc_, OPT_Wformat_,
                 "the buffer formatter takes one 32-bit word for %qs: a 64-bit argument shifts every later one "
                 "(the stream printf takes ll)", d.c_str());
    switch (*p) {
      case 'd': case 'i': case 'u': case 'x': case 'X':
        if (plus && *p != 'd' && *p != 'i')
          warning_at(loc_, OPT_Wformat_, "the %<+%> flag of %qs is ignored: it signs only %%d and %%i", d.c_str());
        take(Wants::Int32, d);
        return p;
      case 'p': case 'c':
        if (left || zero || plus || has_size)
          warning_at(loc_, OPT_Wformat_, "flags, width and precision of %qs are ignored by the buffer formatter",
                     d.c_str());
        take(*p == 'p' ? Wants::Pointer : Wants::Int32, d);
        return p;
      case 's':
        if (left)
          warning_at(loc_, OPT_Wformat_,
                     "%qs pads nothing in the buffer formatter: strings are never padded on the right", d.c_str());
        else if (zero || plus)
          warning_at(loc_, OPT_Wformat_, "the %<0%> and %<+%> flags of %qs are ignored", d.c_str());
        take(Wants::String, d);
        return p;
      case '%': return p;
      default:
        warning_at(loc_, OPT_Wformat_,
                   "the buffer formatter does not know %qs: it is written as text and takes no argument", d.c_str());
        return p;
    }
  }

  // The next argument, checked against what the directive wants; nothing for a va_list entry point.
  void take(Wants wants, const std::string& directive) {
    if (next_arg_ < 0) return;
    if (next_arg_ >= call_expr_nargs(call_)) {
      warning_at(loc_, OPT_Wformat_, "%qs has no argument: it reads a word the call did not pass",
                 directive.c_str());
      next_arg_ = -1;
      return;
    }
    tree arg = CALL_EXPR_ARG(call_, next_arg_);
    int number = next_arg_ + 1;
    ++next_arg_;
    tree type = TREE_TYPE(arg);
    if (type == error_mark_node) return;
    bool integer = INTEGRAL_TYPE_P(type);
    unsigned bits = integer ? TYPE_PRECISION(type) : 0;
    switch (wants) {
      case Wants::Int32:
        if (integer && bits <= 32) return;
        warning_at(loc_, OPT_Wformat_, "%qs takes a 32-bit integer, but argument %d has type %qT", directive.c_str(),
                   number, type);
        return;
      case Wants::Int64:
        if (integer && bits == 64) return;
        warning_at(loc_, OPT_Wformat_, "%qs takes a 64-bit integer (two words), but argument %d has type %qT",
                   directive.c_str(), number, type);
        return;
      case Wants::Pointer:
        if (POINTER_TYPE_P(type) || (integer && bits <= 32)) return;
        warning_at(loc_, OPT_Wformat_, "%qs takes a pointer, but argument %d has type %qT", directive.c_str(), number,
                   type);
        return;
      case Wants::String: {
        if (integer_zerop(arg)) return;
        tree pointee = POINTER_TYPE_P(type) ? TYPE_MAIN_VARIANT(TREE_TYPE(type)) : NULL_TREE;
        if (pointee && (pointee == char_type_node || pointee == signed_char_type_node ||
                        pointee == unsigned_char_type_node))
          return;
        warning_at(loc_, OPT_Wformat_, "%qs takes a string, but argument %d has type %qT", directive.c_str(), number,
                   type);
        return;
      }
    }
  }

  tree call_;
  const Entry& entry_;
  location_t loc_;
  int next_arg_;
};

tree visit(tree* node, int* walk_subtrees, void*) {
  (void)walk_subtrees;
  if (TREE_CODE(*node) != CALL_EXPR) return NULL_TREE;
  const Entry* entry = entry_of(get_callee_fndecl(*node));
  if (!entry || entry->format >= call_expr_nargs(*node)) return NULL_TREE;
  size_t length = 0;
  if (const char* format = literal_of(CALL_EXPR_ARG(*node, entry->format), length))
    Checker(*node, *entry).check(format, length);
  return NULL_TREE;
}

void on_function(void* gcc_data, void*) {
  tree fndecl = static_cast<tree>(gcc_data);
  if (!warn_format || !DECL_SAVED_TREE(fndecl)) return;
  walk_tree_without_duplicates(&DECL_SAVED_TREE(fndecl), visit, nullptr);
}

}  // namespace

int plugin_init(struct plugin_name_args* info, struct plugin_gcc_version* version) {
  if (!plugin_default_version_check(version, &gcc_version)) {
    error("tavik-format: built for GCC %s, loaded by %s", gcc_version.basever, version->basever);
    return 1;
  }
  register_callback(info->base_name, PLUGIN_PRE_GENERICIZE, on_function, nullptr);
  return 0;
}
