// strtold in the guest against a host model of the same operation order. The host's long double is the same x87
// extended format, so every rounded step gives the same bits: the guest's results must match bit for bit, and its
// end pointers must match too, over generated decimal and hexadecimal text.
#include "support/guest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

namespace {

static_assert(std::numeric_limits<long double>::digits == 64, "the model needs the x87 extended format");

struct Converted {
  long double value = 0.0L;
  size_t end = 0;
};

// The model: the conversion written out step by step, one extended operation each, in the guest's order.
class StrtoldModel {
 public:
  static Converted convert(const std::string& text) {
    StrtoldModel m(text);
    return m.run();
  }

 private:
  explicit StrtoldModel(const std::string& text) : s_(text) {}

  char at(size_t i) const { return i < s_.size() ? s_[i] : '\0'; }
  static bool decimal(char c) { return c >= '0' && c <= '9'; }
  static int hex(char c) {
    if (decimal(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  Converted run() {
    while (std::strchr("\t\n\v\f\r ", at(i_)) && at(i_) != '\0') i_++;
    long double sign = 1.0L;
    if (at(i_) == '+' || at(i_) == '-') sign = at(i_++) == '-' ? -1.0L : 1.0L;
    bool ok = false;
    if (at(i_) == '0' && (at(i_ + 1) == 'x' || at(i_ + 1) == 'X')) {
      i_ += 2;
      ok = hexadecimal();
    } else if (decimal(at(i_)) || (at(i_) == '.' && decimal(at(i_ + 1)))) {
      decimal_form();
      ok = true;
    }
    if (!ok) return {0.0L, 0};
    return {acc_ * sign, i_};
  }

  // An exponent after the marker at i_: a sign and at least one digit, else nothing consumed.
  int exponent() {
    size_t j = i_ + 1;
    bool negative = false;
    if (at(j) == '+' || at(j) == '-') negative = at(j++) == '-';
    if (!decimal(at(j))) return 0;
    int e = 0;
    for (; decimal(at(j)); j++) e = std::min(e * 10 + (at(j) - '0'), 4096);
    i_ = j;
    return negative ? -e : e;
  }

  void decimal_form() {
    for (; decimal(at(i_)); i_++) acc_ = acc_ * 10.0L + (at(i_) - '0');
    int n = 0;
    if (at(i_) == '.') {
      for (i_++; decimal(at(i_)); i_++) {
        if (n == 1024) continue;
        acc_ = acc_ * 10.0L + (at(i_) - '0');
        n++;
      }
    }
    for (int k = 0; k < n; k++) acc_ = acc_ / 10.0L;
    if (at(i_) != 'e' && at(i_) != 'E') return;
    int e = exponent();
    for (int k = 0; k < std::min(std::abs(e), 1024); k++) acc_ = e > 0 ? acc_ * 10.0L : acc_ / 10.0L;
  }

  bool hexadecimal() {
    bool seen = false;
    for (; hex(at(i_)) >= 0; i_++, seen = true) acc_ = acc_ * 16.0L + hex(at(i_));
    int n = 0;
    if (at(i_) == '.') {
      for (i_++; hex(at(i_)) >= 0; i_++, seen = true) {
        if (n == 1024) continue;
        acc_ = acc_ * 16.0L + hex(at(i_));
        n++;
      }
    }
    if (!seen) return false;
    for (int k = 0; k < n; k++) acc_ = acc_ * 0.0625L;
    if (at(i_) != 'p' && at(i_) != 'P') return true;
    int e = exponent();
    for (int k = 0; k < std::min(std::abs(e), 1024); k++) acc_ = e > 0 ? acc_ + acc_ : acc_ * 0.5L;
    return true;
  }

  const std::string& s_;
  size_t i_ = 0;
  long double acc_ = 0.0L;
};

// The guest's line format: the ten bytes in memory order as hex, a space, the end offset.
std::string describe(const Converted& c) {
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &c.value, sizeof c.value);
  static const char digits[] = "0123456789abcdef";
  std::string line;
  for (int i = 0; i < 10; i++) {
    line += digits[bytes[i] >> 4];
    line += digits[bytes[i] & 15];
  }
  return line + " " + std::to_string(c.end);
}

// Text that exercises every path: lengths of digit runs, exponents near and past the bounds, signs, markers
// without digits, and the characters that end each form.
class InputGenerator {
 public:
  explicit InputGenerator(uint32_t seed) : rng_(seed) {}

  std::string next() {
    std::string s;
    // Line feeds separate the inputs, so they are left to the argument test.
    if (chance(10)) s += pick(std::vector<std::string>{" ", "\t", "\v", "\f\r  "});
    if (chance(30)) s += pick(std::vector<std::string>{"+", "-"});
    s += chance(35) ? hexadecimal() : decimal();
    if (chance(30)) s += pick(std::vector<std::string>{"x", " 1", ".", "e", "p3", "g", "-"});
    return s;
  }

 private:
  bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
  int number(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string pick(const std::vector<std::string>& options) {
    return options[std::uniform_int_distribution<size_t>(0, options.size() - 1)(rng_)];
  }
  int run_length() {
    if (chance(3)) return number(1000, 1100);
    if (chance(20)) return number(18, 60);
    return number(0, 12);
  }
  std::string digits(int n, const char* set) {
    std::string s;
    size_t size = std::strlen(set);
    for (int i = 0; i < n; i++) s += set[number(0, static_cast<int>(size) - 1)];
    return s;
  }
  std::string exponent(char marker) {
    std::string s(1, chance(50) ? marker : static_cast<char>(marker - 'a' + 'A'));
    if (chance(50)) s += chance(50) ? "-" : "+";
    int n = chance(10) ? 0 : number(1, chance(10) ? 25 : 4);
    return s + digits(n, "0123456789");
  }
  std::string decimal() {
    std::string s = digits(run_length(), "0123456789");
    if (chance(60)) s += "." + digits(run_length(), "0123456789");
    if (chance(40)) s += exponent('e');
    return s;
  }
  std::string hexadecimal() {
    std::string s = chance(50) ? "0x" : "0X";
    s += digits(run_length(), "0123456789abcdefABCDEF");
    if (chance(50)) s += "." + digits(run_length(), "0123456789abcdefABCDEF");
    if (chance(50)) s += exponent('p');
    return s;
  }

  std::mt19937 rng_;
};

std::vector<std::string> fixed_inputs() {
  return {"", "0", "-0", "+0", ".", "-", "e5", ".e1", "5.", ".5", "1e", "1e+", "1e-", "1ex", "1e5000", "1e-5000",
          "-1e400", "0x", "-0x", "0xg", "0x.", "0x.p1", "0x1p", "0x1p-", "0x1.8p1", "0x.8", "0x10", "0x1p-16445",
          "0x1p16383", "0x1p16384", "9" + std::string(5000, '9'), "0." + std::string(1100, '3'),
          "0x." + std::string(1100, 'f'), "inf", "nan", "  -1.5e3xyz", "123456789012345678901234567890",
          "0.1", "0.30000000000000004", "2.2250738585072014e-308", "4.9406564584124654e-324",
          "1.18973149535723176502e+4932", "3.64519953188247460253e-4951"};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

TEST(StrtoldDiff, GeneratedDecimalAndHexadecimalTextMatchesTheModelBitForBit) {
  std::vector<std::string> inputs = fixed_inputs();
  InputGenerator gen(20261208);
  while (inputs.size() < 4000) inputs.push_back(gen.next());

  tavik::test::ScratchRoot root;
  std::string input_path = (root.path() / "inputs.txt").string();
  {
    std::ofstream out(input_path, std::ios::binary);
    for (const std::string& s : inputs) out << s << '\n';
  }
  tavik::RunOptions opt = tavik::test::in_root(root);
  opt.io.stdin_file = input_path;
  opt.trace.keep = false;
  tavik::test::GuestRun run = tavik::test::run_guest(tavik::test::target_program("convert_strtold_guest"), {}, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  ASSERT_EQ(run.result.status, 0);

  std::vector<std::string> got = lines_of(run.out);
  ASSERT_EQ(got.size(), inputs.size());
  int mismatches = 0;
  for (size_t i = 0; i < inputs.size() && mismatches < 10; i++) {
    std::string want = describe(StrtoldModel::convert(inputs[i]));
    if (got[i] == want) continue;
    mismatches++;
    ADD_FAILURE() << "input " << i << " \"" << inputs[i].substr(0, 80) << "\": guest " << got[i] << ", model "
                  << want;
  }
}

TEST(StrtoldDiff, ArgumentsConvertLikeLines) {
  std::vector<std::string> args = {"0x1.8p1", "-0", "1e+", "  .5e-3x", "\n\t-7.25e1"};
  tavik::test::ScratchRoot root;
  tavik::RunOptions opt = tavik::test::in_root(root);
  tavik::test::GuestRun run = tavik::test::run_guest(tavik::test::target_program("convert_strtold_guest"), args, opt);
  ASSERT_EQ(run.result.end, tavik::RunResult::End::Exit) << run.err;
  std::vector<std::string> got = lines_of(run.out);
  ASSERT_EQ(got.size(), args.size());
  for (size_t i = 0; i < args.size(); i++) EXPECT_EQ(got[i], describe(StrtoldModel::convert(args[i]))) << args[i];
  // The model itself, on points worth pinning: "1e+" ends at the 'e', "-0" is negative zero.
  EXPECT_EQ(StrtoldModel::convert("1e+").end, 1u);
  EXPECT_TRUE(std::signbit(StrtoldModel::convert("-0").value));
  EXPECT_EQ(StrtoldModel::convert("0x1.8p1").value, 3.0L);
}

}  // namespace
