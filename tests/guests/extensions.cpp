// extensions: 32-bit results whose high half the emulator drops (compare, test, shifts, rotates, negation,
// complement, sign-extending loads, three-operand additions) and the conditions read from them, and the carry of
// adc and sbb of each width read by setc and by the adc after them, over edge values,
// against the same arithmetic in C; exits with the number of mismatches (0 when every one is right).
#include <stdint.h>

namespace {

const uint32_t kValues[] = {0,          1,          2,          0x7f,       0x80,       0xff,       0x7fff,
                            0x8000,     0xffff,     0x12345,    0x7fffffff, 0x80000000, 0x80000001, 0xfffffffe,
                            0xffffffff, 0x55555555, 0xaaaaaaaa, 0x40000000, 1000003,    0xfffed431};

int mismatches = 0;
void expect(uint32_t got, uint32_t want) { mismatches += got != want; }

// Below, less, equal, sign, above, less or equal of x against y (cmp computes x - y): one bit each.
uint32_t cmp_conditions(uint32_t x, uint32_t y) {
  uint8_t c[6];
  __asm__("cmpl %7, %6\n\tsetb %0\n\tsetl %1\n\tsete %2\n\tsets %3\n\tseta %4\n\tsetle %5"
          : "=m"(c[0]), "=m"(c[1]), "=m"(c[2]), "=m"(c[3]), "=m"(c[4]), "=m"(c[5]) : "r"(x), "r"(y) : "cc");
  return c[0] | c[1] << 1 | c[2] << 2 | c[3] << 3 | c[4] << 4 | c[5] << 5;
}

uint32_t test_conditions(uint32_t x, uint32_t y) {
  uint8_t e, s;
  __asm__("testl %3, %2\n\tsete %0\n\tsets %1" : "=q"(e), "=q"(s) : "r"(x), "r"(y) : "cc");
  return e | s << 1;
}

#define UNARY(name, text)                                       \
  uint32_t name(uint32_t x) {                                   \
    uint8_t c;                                                  \
    __asm__(text "\n\tsetc %1" : "+r"(x), "=q"(c) : : "cc");    \
    return x ^ (uint32_t(c) << 31 >> 3);                        \
  }
UNARY(sar7, "sarl $7, %0")
UNARY(sar31, "sarl $31, %0")
UNARY(shr1, "shrl $1, %0")
UNARY(shl9, "shll $9, %0")
UNARY(rol13, "roll $13, %0")
UNARY(ror3, "rorl $3, %0")
UNARY(neg, "negl %0")

uint32_t not_then_add(uint32_t x, uint32_t y) {
  __asm__("notl %0\n\taddl %1, %0" : "+r"(x) : "r"(y) : "cc");
  return x;
}

uint32_t lea(uint32_t x, uint32_t y) {
  uint32_t r;
  __asm__("leal 7(%1,%2,2), %0" : "=r"(r) : "r"(x), "r"(y));
  return r;
}

// Loads that extend a byte and a half-word's sign, each then added to y.
uint32_t signed_loads(const uint32_t* p, uint32_t y) {
  uint32_t b, w;
  __asm__("movsbl %2, %0\n\tmovswl %2, %1\n\taddl %3, %0\n\taddl %3, %1" : "=&r"(b), "=&r"(w) : "m"(*p), "r"(y)
          : "cc");
  return b ^ (w * 3);
}

uint32_t rotl(uint32_t x, int n) { return x << n | x >> (32 - n); }

// x op= y with the carry in c, in one width: the result, its carry (setc) at bit 32, the carry again (an adc of 0
// after it) at bit 33.
#define WITH_CARRY(name, text)                                                                              \
  uint64_t name(uint32_t x, uint32_t y, uint32_t c) {                                                   \
    uint8_t cf;                                                                                         \
    uint32_t again = 0;                                                                                 \
    __asm__("btl $0, %3\n\t" text "\n\tsetc %1\n\tadcl $0, %2" : "+q"(x), "=q"(cf), "+r"(again) : "r"(c), "q"(y) \
            : "cc");                                                                                    \
    return x | uint64_t(cf) << 32 | uint64_t(again) << 33;                                              \
  }
WITH_CARRY(adcb, "adcb %b4, %b0")
WITH_CARRY(adcw, "adcw %w4, %w0")
WITH_CARRY(adcl, "adcl %4, %0")
WITH_CARRY(sbbb, "sbbb %b4, %b0")
WITH_CARRY(sbbw, "sbbw %w4, %w0")
WITH_CARRY(sbbl, "sbbl %4, %0")

uint64_t want_carry(uint32_t x, uint32_t y, uint32_t c, int bits, bool subtract) {
  uint64_t mask = (uint64_t{1} << bits) - 1;
  uint64_t r = subtract ? (x & mask) - (y & mask) - c : (x & mask) + (y & mask) + c;
  uint64_t cf = r >> bits & 1;
  return (x & ~mask & 0xffffffffu) | (r & mask) | cf << 32 | cf << 33;
}

}  // namespace

int main() {
  for (uint32_t x : kValues) {
    int32_t sx = static_cast<int32_t>(x);
    expect(sar7(x), uint32_t(sx >> 7) ^ ((x >> 6 & 1) << 28));
    expect(sar31(x), uint32_t(sx >> 31) ^ ((x >> 30 & 1) << 28));
    expect(shr1(x), (x >> 1) ^ ((x & 1) << 28));
    expect(shl9(x), (x << 9) ^ ((x >> 23 & 1) << 28));
    expect(rol13(x), rotl(x, 13) ^ ((rotl(x, 13) & 1) << 28));
    expect(ror3(x), rotl(x, 29) ^ ((rotl(x, 29) >> 31) << 28));
    expect(neg(x), (0u - x) ^ (uint32_t(x != 0) << 28));
    for (uint32_t y : kValues) {
      int32_t sy = static_cast<int32_t>(y);
      uint32_t want = uint32_t(x < y) | uint32_t(sx < sy) << 1 | uint32_t(x == y) << 2 |
                      uint32_t(int32_t(x - y) < 0) << 3 | uint32_t(x > y) << 4 | uint32_t(sx <= sy) << 5;
      expect(cmp_conditions(x, y), want);
      expect(test_conditions(x, y), uint32_t((x & y) == 0) | uint32_t(int32_t(x & y) < 0) << 1);
      expect(not_then_add(x, y), ~x + y);
      expect(lea(x, y), x + 2 * y + 7);
      expect(signed_loads(&x, y), (uint32_t(int8_t(x)) + y) ^ ((uint32_t(int16_t(x)) + y) * 3));
      for (uint32_t c = 0; c < 2; ++c) {
        expect(adcb(x, y, c) == want_carry(x, y, c, 8, false), 1);
        expect(adcw(x, y, c) == want_carry(x, y, c, 16, false), 1);
        expect(adcl(x, y, c) == want_carry(x, y, c, 32, false), 1);
        expect(sbbb(x, y, c) == want_carry(x, y, c, 8, true), 1);
        expect(sbbw(x, y, c) == want_carry(x, y, c, 16, true), 1);
        expect(sbbl(x, y, c) == want_carry(x, y, c, 32, true), 1);
      }
    }
  }
  return mismatches > 125 ? 125 : mismatches;
}
