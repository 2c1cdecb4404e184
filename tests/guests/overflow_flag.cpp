// overflow_flag: the overflow flag after add, sub, cmp, neg and imul of 8, 16 and 32 bits, read with seto and
// tested with jo, against the sum, difference and product computed in 64 bits; exits with the number of
// mismatches (0 when every one is right).
#include <stdint.h>
#include <unistd.h>

namespace {

const int32_t kValues[] = {0, 1, 2, -1, -2, 0x7f, 0x80, -0x80, -0x81, 0xff, 0x7fff, 0x8000, -0x8000, -0x8001,
                           0xffff, 0x12345, 0x7fffffff, INT32_MIN, INT32_MIN + 1, 0x40000000, 0x55555555,
                           -0x40000001, 1000003, -77777};

template <typename T>
bool fits(int64_t v) {
  return v >= static_cast<int64_t>(static_cast<T>(1ull << (sizeof(T) * 8 - 1))) &&
         v <= static_cast<int64_t>(static_cast<T>((1ull << (sizeof(T) * 8 - 1)) - 1));
}

// Each operation's flag, by seto and by jo (both must agree with the arithmetic).
#define OVERFLOWS(op, suffix, reg_a, reg_b, type)                                                   \
  static int op##_##suffix(type a, type b) {                                                        \
    unsigned char seto;                                                                              \
    int jo = 0;                                                                                      \
    __asm__(#op #suffix " %3, %1\n\tseto %0\n\tjno 1f\n\tmovl $1, %2\n1:"                          \
            : "=q"(seto), "+" reg_a(a), "+m"(jo) : reg_b(b) : "cc");                                 \
    return seto + 2 * jo;                                                                            \
  }
OVERFLOWS(add, b, "q", "qi", int8_t)
OVERFLOWS(add, w, "r", "ri", int16_t)
OVERFLOWS(add, l, "r", "ri", int32_t)
OVERFLOWS(sub, b, "q", "qi", int8_t)
OVERFLOWS(sub, w, "r", "ri", int16_t)
OVERFLOWS(sub, l, "r", "ri", int32_t)
OVERFLOWS(imul, w, "r", "r", int16_t)
OVERFLOWS(imul, l, "r", "r", int32_t)

int cmpl_overflows(int32_t a, int32_t b) {
  unsigned char seto;
  __asm__("cmpl %2, %1\n\tseto %0" : "=q"(seto) : "r"(a), "r"(b) : "cc");
  return seto * 3;
}

int negl_overflows(int32_t a) {
  unsigned char seto;
  __asm__("negl %1\n\tseto %0" : "=q"(seto), "+r"(a) : : "cc");
  return seto * 3;
}

int mismatches = 0;
void expect(int got, bool overflow) { mismatches += got != (overflow ? 3 : 0); }

}  // namespace

int main() {
  for (int32_t x : kValues) {
    for (int32_t y : kValues) {
      int64_t a = x, b = y;
      expect(add_b(static_cast<int8_t>(x), static_cast<int8_t>(y)), !fits<int8_t>(int8_t(x) + int64_t(int8_t(y))));
      expect(add_w(static_cast<int16_t>(x), static_cast<int16_t>(y)),
             !fits<int16_t>(int16_t(x) + int64_t(int16_t(y))));
      expect(add_l(x, y), !fits<int32_t>(a + b));
      expect(sub_b(static_cast<int8_t>(x), static_cast<int8_t>(y)), !fits<int8_t>(int8_t(x) - int64_t(int8_t(y))));
      expect(sub_w(static_cast<int16_t>(x), static_cast<int16_t>(y)),
             !fits<int16_t>(int16_t(x) - int64_t(int16_t(y))));
      expect(sub_l(x, y), !fits<int32_t>(a - b));
      expect(cmpl_overflows(x, y), !fits<int32_t>(a - b));
      expect(imul_w(static_cast<int16_t>(x), static_cast<int16_t>(y)),
             !fits<int16_t>(int16_t(x) * int64_t(int16_t(y))));
      expect(imul_l(x, y), !fits<int32_t>(a * b));
    }
    expect(negl_overflows(x), x == INT32_MIN);
  }
  return mismatches > 125 ? 125 : mismatches;
}
