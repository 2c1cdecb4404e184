// The buffer formatter against the host's own snprintf, over generated formats and values, for the directives
// where the two agree: d, i, u, x, X with the flags '-', '0', '+', widths and precisions (also from '*'), c and %
// bare, s with a width and a precision. The guest formats every case into an array of the case's size; the whole
// array, canaries included, is compared with what the host's snprintf output implies.
#include "support/guest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One argument word as the guest reads it, and as the host passes it.
struct Arg {
  char kind;  // 'i' signed, 'u' unsigned, 's' string
  long long number = 0;
  std::string text;

  std::string encode() const {
    return kind == 's' ? "s" + text : std::string(1, kind) + std::to_string(number);
  }
};

struct Case {
  std::string format;
  std::vector<Arg> args;
  unsigned size = 0;
  std::string output;  // the host's complete output
};

template <class... A>
std::string host_format(const std::string& format, A... a) {
  int n = std::snprintf(nullptr, 0, format.c_str(), a...);
  std::string out(static_cast<size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, format.c_str(), a...);
  return out;
}

// The host's output of one directive: the '*' arguments first, then the value.
std::string host_directive(const std::string& format, const std::vector<Arg>& args) {
  std::vector<int> stars;
  for (size_t i = 0; i + 1 < args.size(); i++) stars.push_back(static_cast<int>(args[i].number));
  if (args.empty()) return host_format(format);
  const Arg& v = args.back();
  auto with_value = [&](auto value) {
    switch (stars.size()) {
      case 0: return host_format(format, value);
      case 1: return host_format(format, stars[0], value);
      default: return host_format(format, stars[0], stars[1], value);
    }
  };
  if (v.kind == 's') return with_value(v.text.c_str());
  if (v.kind == 'u') return with_value(static_cast<unsigned>(v.number));
  return with_value(static_cast<int>(v.number));
}

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  Case make_case() {
    Case c;
    int pieces = pick(1, 3);
    for (int i = 0; i < pieces; i++) {
      if (pick(0, 3) == 0) {
        std::string text = literal();
        c.format += text;
        c.output += text;
        continue;
      }
      std::vector<Arg> args;
      std::string directive = make_directive(args);
      c.format += directive;
      c.output += host_directive(directive, args);
      c.args.insert(c.args.end(), args.begin(), args.end());
    }
    static const unsigned sizes[] = {0, 1, 2, 3, 7, 16, 200, 200, 200, 200};
    c.size = sizes[pick(0, 9)];
    return c;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  std::string literal() {
    static const std::string alphabet = "abcXYZ019 .,:;-+#|";
    std::string s;
    for (int n = pick(1, 5); n > 0; n--) s += alphabet[pick(0, static_cast<int>(alphabet.size()) - 1)];
    return s;
  }

  uint32_t value() {
    static const uint32_t interesting[] = {0,          1,          0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu,
                                           42,         0xFFFFFFD6u, 255,        9,           10,
                                           0x80000001u, 1000000000, 0xDEADBEEFu, 99999,      100};
    if (pick(0, 2) > 0) return interesting[pick(0, 14)];
    return std::uniform_int_distribution<uint32_t>()(rng_);
  }

  // Width: none, digits, or '*' with a non-negative argument (a negative one means '-' in standard C, not here).
  std::string width(std::vector<Arg>& args) {
    switch (pick(0, 3)) {
      case 0: return "";
      case 1: args.push_back({'i', pick(0, 24), ""}); return "*";
      default: return std::to_string(pick(1, 24));
    }
  }

  // Precision: none, '.', digits (leading zeros too), or '*' with any argument, negative meaning none.
  // Returns the precision in effect, -1 for none.
  std::string precision(std::vector<Arg>& args, int& in_effect) {
    in_effect = -1;
    switch (pick(0, 4)) {
      case 0:
      case 1: return "";
      case 2: in_effect = 0; return ".";
      case 3: {
        int p = pick(0, 14);
        in_effect = p;
        return (pick(0, 4) == 0 ? ".0" : ".") + std::to_string(p);
      }
      default: {
        int p = pick(-3, 14);
        in_effect = p < 0 ? -1 : p;
        args.push_back({'i', p, ""});
        return ".*";
      }
    }
  }

  std::string flags() {
    static const char set[] = {'-', '0', '+'};
    std::string f;
    for (int n = pick(0, 3) == 0 ? pick(1, 4) : 0; n > 0; n--) f += set[pick(0, 2)];
    return f;
  }

  std::string text() {
    static const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 _-";
    std::string s;
    for (int n = pick(0, 3) == 0 ? 0 : pick(1, 20); n > 0; n--)
      s += alphabet[pick(0, static_cast<int>(alphabet.size()) - 1)];
    return s;
  }

  std::string make_directive(std::vector<Arg>& args) {
    static const char conversions[] = {'d', 'i', 'u', 'x', 'X', 'c', 's', '%'};
    char conv = conversions[pick(0, 7)];
    if (conv == '%') return "%%";
    if (conv == 'c') {
      args.push_back({'i', pick(0, 5) == 0 ? 0 : pick(32, 126), ""});
      return "%c";
    }
    if (conv == 's') {
      std::string directive = "%" + width(args);
      int in_effect;
      directive += precision(args, in_effect);
      args.push_back({'s', 0, text()});
      return directive + "s";
    }
    std::string directive = "%" + flags() + width(args);
    int in_effect;
    directive += precision(args, in_effect);
    uint32_t v = value();
    // Standard C prints nothing for 0 with precision 0; this formatter prints "0". Not compared here.
    if (v == 0 && in_effect == 0) v = 7;
    if (conv == 'd' || conv == 'i')
      args.push_back({'i', static_cast<int32_t>(v), ""});
    else
      args.push_back({'u', v, ""});
    return directive + conv;
  }

  std::mt19937 rng_;
};

// What the guest's array must hold: the stored characters, the terminator, and canaries everywhere else.
std::string expected_array(const Case& c) {
  std::string array(c.size + 4, '\xa5');
  if (c.size > 0) {
    size_t stored = std::min<size_t>(c.output.size(), c.size - 1);
    array.replace(0, stored, c.output.substr(0, stored));
    array[stored] = '\0';
  }
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : array) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return std::to_string(c.output.size()) + " " + out;
}

TEST(FormatDiff, AgreesWithTheHostOnGeneratedCases) {
  const int kCases = 4000;
  Generator gen(20261208);
  std::vector<Case> cases;
  std::ostringstream input;
  for (int i = 0; i < kCases; i++) {
    Case c = gen.make_case();
    input << c.size << '\t' << c.format;
    for (const Arg& a : c.args) input << '\t' << a.encode();
    input << '\n';
    cases.push_back(std::move(c));
  }

  tavik::test::ScratchRoot root;
  std::ofstream(root.path() / "cases", std::ios::binary) << input.str();
  tavik::RunOptions opt = tavik::test::in_root(root);
  opt.io.stdin_file = (root.path() / "cases").string();
  opt.trace.keep = false;
  tavik::test::GuestRun run = tavik::test::run_guest(tavik::test::target_program("format_diff_guest"), {}, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.result.error << tavik::fault_name(run.result.fault.kind) << run.err;
  ASSERT_EQ(run.result.status, 0);

  std::istringstream lines(run.out);
  int mismatches = 0;
  std::string line;
  for (const Case& c : cases) {
    ASSERT_TRUE(std::getline(lines, line)) << "the guest stopped early";
    std::string want = expected_array(c);
    if (line == want) continue;
    if (++mismatches <= 20)
      ADD_FAILURE() << "format \"" << c.format << "\" size " << c.size << "\n  host  " << want << "\n  guest "
                    << line;
  }
  EXPECT_EQ(mismatches, 0) << "of " << kCases << " cases";
  EXPECT_FALSE(std::getline(lines, line)) << "more output than cases";
}

}  // namespace
