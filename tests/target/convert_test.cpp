/* Number conversion: white-space sets, signs, bases and prefixes, wrap-around, end pointers, and strtold's bits. */
#include <errno.h>
#include <stdlib.h>

#include "tt.h"

struct integer_case {
    const char *text;
    int base;
    unsigned long value;
    int end; /* offset of the end pointer from text */
};

static const integer_case g_strtoul_cases[] = {
    /* no sign is accepted: the sign ends the scan where it stands */
    {"-5", 10, 0, 0},
    {"+5", 10, 0, 0},
    {"  -5", 10, 0, 2},
    /* white space: tab, line feed, carriage return, space; not vertical tab or form feed */
    {"\t\n\r 42", 10, 42, 6},
    {"\r7", 10, 7, 2},
    {"\v7", 10, 0, 0},
    {"\f7", 10, 0, 0},
    /* wrap-around modulo 2^32 */
    {"4294967295", 10, 4294967295ul, 10},
    {"4294967296", 10, 0, 10},
    {"4294967297", 10, 1, 10},
    /* base 0 picks the base by the prefix */
    {"0x1A", 0, 26, 4},
    {"0X1a", 0, 26, 4},
    {"017", 0, 15, 3},
    {"08", 0, 0, 1},
    {"0", 0, 0, 1},
    {"0xg", 0, 0, 2},
    {"123", 0, 123, 3},
    {"", 0, 0, 0},
    {"   ", 0, 0, 3},
    /* base 16 takes an optional prefix; other bases take none */
    {"0x1f", 16, 31, 4},
    {"1f", 16, 31, 2},
    {"0x", 16, 0, 2},
    {"0x1f", 10, 0, 1},
    {"017", 8, 15, 3},
    {"0x10", 8, 0, 1},
    /* digits stop at f whatever the base */
    {"zz", 36, 0, 0},
    {"fg", 36, 15, 1},
    {"FG", 20, 15, 1},
    {"101", 2, 5, 3},
    {"102", 2, 2, 2},
    {"0001", 1, 0, 3},
    {"5", -1, 0, 0},
    {"5", -16, 0, 0},
};

static void test_strtoul_and_strtol()
{
    for (const integer_case &c : g_strtoul_cases) {
        char *end = (char *)1;
        TT_EQ(strtoul(c.text, &end, c.base), c.value);
        TT_EQ(end - c.text, c.end);
        end = (char *)1;
        TT_EQ(strtol(c.text, &end, c.base), (long)c.value);
        TT_EQ(end - c.text, c.end);
        TT_EQ(strtoul(c.text, nullptr, c.base), c.value);
    }
    TT_EQ(strtol("4294967295", nullptr, 10), -1);
    TT_EQ(strtol("2147483648", nullptr, 10), -2147483647l - 1);
    TT_EQ(strtol("ffffffff", nullptr, 16), -1);
    char *end = (char *)1;
    TT_EQ(strtoul(nullptr, &end, 10), 0);
    TT_CHECK(end == nullptr);
    end = (char *)1;
    TT_EQ(strtol(nullptr, &end, 0), 0);
    TT_CHECK(end == nullptr);
    TT_EQ(strtoul(nullptr, nullptr, 10), 0);
}

static void test_atoi_and_atol()
{
    struct atoi_case {
        const char *text;
        int value;
    };
    static const atoi_case cases[] = {
        {"42", 42},
        {" \t\n-12x", -12},
        {"+7", 7},
        {"\r5", 0},
        {"\v5", 0},
        {"- 3", 0},
        {"+-3", 0},
        {"--3", 0},
        {"-", 0},
        {"", 0},
        {"x1", 0},
        {"2147483647", 2147483647},
        {"2147483648", -2147483647 - 1},
        {"-2147483648", -2147483647 - 1},
        {"4294967297", 1},
        {"0x10", 0},
        {"007", 7},
    };
    for (const atoi_case &c : cases) {
        TT_EQ(atoi(c.text), c.value);
        TT_EQ(atol(c.text), c.value);
    }
    TT_EQ(atoi(nullptr), 0);
    TT_EQ(atol(nullptr), 0);
}

static void test_abs_and_labs()
{
    TT_EQ(abs(-7), 7);
    TT_EQ(abs(7), 7);
    TT_EQ(abs(0), 0);
    TT_EQ(abs(-2147483647), 2147483647);
    TT_EQ(abs(-2147483647 - 1), -2147483647 - 1);
    TT_EQ(labs(-7l), 7);
    TT_EQ(labs(-2147483647l - 1), -2147483647l - 1);
}

/* The ten bytes of an x87 extended value, compared whole: equal values of different signs or NaN payloads must
   not pass for each other. */
struct extended_bits {
    unsigned char b[10];
};

static extended_bits bits_of(long double v)
{
    extended_bits out;
    const unsigned char *p = (const unsigned char *)&v;
    for (int i = 0; i < 10; i++)
        out.b[i] = p[i];
    return out;
}

static unsigned int exponent_field(long double v)
{
    extended_bits e = bits_of(v);
    return (unsigned int)(e.b[8] | (e.b[9] << 8)) & 0x7FFFu;
}

static bool same_bits(long double got, long double want)
{
    extended_bits g = bits_of(got);
    extended_bits w = bits_of(want);
    bool same = true;
    for (int i = 0; i < 10; i++)
        same = same && g.b[i] == w.b[i];
    return same;
}

struct float_case {
    const char *text;
    long double value;
    int end;
};

static void test_strtold_forms()
{
    static const float_case cases[] = {
        {"  -1.5e3xyz", -1500.0L, 8},
        {"5.", 5.0L, 2},
        {".5", 0.5L, 2},
        {"+.25", 0.25L, 4},
        {"\t\n\v\f\r 7", 7.0L, 7},
        {"12e2", 1200.0L, 4},
        {"12E+2", 1200.0L, 5},
        {"1200e-2", 12.0L, 7},
        {"1e0", 1.0L, 3},
        {"1e", 1.0L, 1},
        {"1ex", 1.0L, 1},
        {"1e+", 1.0L, 1},
        {"1e-x", 1.0L, 1},
        {"2.5E-", 2.5L, 3},
        {"0x1.8p1", 3.0L, 7},
        {"0x.8", 0.5L, 4},
        {"0x10", 16.0L, 4},
        {"0X1P-2", 0.25L, 6},
        {"0x1e", 30.0L, 4},
        {"0x1p", 1.0L, 3},
        {"0x1p+", 1.0L, 3},
        {"0x3P-", 3.0L, 3},
        {"0x1.", 1.0L, 4},
        {"0xAbC", 2748.0L, 5},
        {"0x1e5", 485.0L, 5},
        {"007", 7.0L, 3},
        {"0", 0.0L, 1},
        {"1e5000", 0, 6},
    };
    for (const float_case &c : cases) {
        char *end = (char *)1;
        long double v = strtold(c.text, &end);
        if (c.value != 0)
            TT_CHECK(same_bits(v, c.value));
        TT_EQ(end - c.text, c.end);
    }

    /* "-0" keeps its sign; every failed conversion gives +0 with the end pointer at the text as passed in. */
    char *end = (char *)1;
    TT_CHECK(same_bits(strtold("-0", &end), -0.0L));
    static const char *const nothing[] = {".", "-", "+", "e5", "-0x", "0xg", "0x", "0x.", "0x.p1", "inf", "nan",
                                          "-inf", "  -x", "\v\r", "", "-.e1"};
    for (const char *text : nothing) {
        end = (char *)1;
        TT_CHECK(same_bits(strtold(text, &end), 0.0L));
        TT_CHECK(end == text);
    }
    end = (char *)1;
    TT_CHECK(same_bits(strtold(nullptr, &end), 0.0L));
    TT_CHECK(end == nullptr);
    TT_CHECK(same_bits(strtold("2.5", nullptr), 2.5L));
}

/* longer: head, zeros up to 1024 fraction digits (the prefix is the part before them), 40 more digits and the
   tail; shorter: the same up to the 1024th digit. Returns the length of longer. */
static int long_fraction(char *longer, char *shorter, const char *head, int prefix, char digit, const char *tail)
{
    int n = 0;
    for (; head[n]; n++)
        longer[n] = head[n];
    while (n < prefix + 1024)
        longer[n++] = '0';
    for (int i = 0; i < n; i++)
        shorter[i] = longer[i];
    shorter[n] = '\0';
    for (int i = 0; i < 40; i++)
        longer[n++] = digit;
    for (int i = 0; tail[i]; i++)
        longer[n++] = tail[i];
    longer[n] = '\0';
    return n;
}

static void test_strtold_bounds()
{
    /* 1024 scaling steps at most: finite in extended, far beyond double. */
    long double big = strtold("1e5000", nullptr);
    TT_CHECK(exponent_field(big) != 0x7FFF);
    TT_CHECK(big > 1e1000L);
    TT_CHECK(same_bits(big, strtold("1e1024", nullptr)));
    TT_CHECK(same_bits(strtold("1e-99999999999999999999", nullptr), strtold("1e-1024", nullptr)));
    TT_CHECK(same_bits(strtold("0x1p99999", nullptr), strtold("0x1p1024", nullptr)));
    TT_CHECK(same_bits(strtold("0x1p-5000", nullptr), strtold("0x1p-1024", nullptr)));

    /* Fraction digits past the 1024th are consumed and change nothing. */
    static char longer[1100];
    static char shorter[1100];
    int n = long_fraction(longer, shorter, "0.5", 2, '9', "");
    char *end = nullptr;
    long double v = strtold(longer, &end);
    TT_EQ(end - longer, n);
    TT_CHECK(same_bits(v, strtold(shorter, nullptr)));
    TT_CHECK(v > 0.49L && v < 0.51L);

    n = long_fraction(longer, shorter, "0x.8", 3, 'f', "p1");
    end = nullptr;
    v = strtold(longer, &end);
    TT_EQ(end - longer, n);
    TT_CHECK(same_bits(v, strtold(shorter, nullptr) * 2.0L));
    TT_CHECK(same_bits(v, 1.0L));
}

static bool same_double(double got, unsigned long long want)
{
    const unsigned char *p = (const unsigned char *)&got;
    unsigned long long g = 0;
    for (int i = 7; i >= 0; i--)
        g = (g << 8) | p[i];
    return g == want;
}

static void test_strtod()
{
    char *end = nullptr;
    const char *text = "1e5000 rest";
    TT_CHECK(same_double(strtod(text, &end), 0x7FF0000000000000ull));
    TT_EQ(end - text, 6);
    TT_CHECK(same_double(strtod("-1e400", nullptr), 0xFFF0000000000000ull));
    TT_CHECK(same_double(strtod("1e-1000", nullptr), 0));
    TT_CHECK(same_double(strtod("-0", nullptr), 0x8000000000000000ull));
    TT_CHECK(same_double(strtod("0.1", nullptr), 0x3FB999999999999Aull));
    /* denormals: 2^-50 scaled by 2^-1024 is the smallest; half of it ties to even, and so does one and a half */
    TT_CHECK(same_double(strtod("0x.0000000000004p-1024", nullptr), 1));
    TT_CHECK(same_double(strtod("0x.0000000000002p-1024", nullptr), 0));
    TT_CHECK(same_double(strtod("0x.0000000000006p-1024", nullptr), 2));
    TT_CHECK(same_double(strtod("0x1p-1024", nullptr), 1ull << 50));
    /* 2^53 + 1 rounds to even once; a detour through float would round differently */
    TT_CHECK(same_double(strtod("9007199254740993", nullptr), 0x4340000000000000ull));
    TT_CHECK(same_double(strtod("0x1.fffffffffffff8p0", nullptr), 0x4000000000000000ull));
    end = (char *)1;
    TT_CHECK(same_double(strtod("nan", &end), 0));
    TT_CHECK(end != nullptr && end[0] == 'n');
    end = (char *)1;
    TT_CHECK(same_double(strtod(nullptr, &end), 0));
    TT_CHECK(end == nullptr);
}

int main()
{
    test_strtoul_and_strtol();
    test_atoi_and_atol();
    test_abs_and_labs();
    test_strtold_forms();
    test_strtold_bounds();
    test_strtod();
    TT_EQ(errno, 0);
    return tt_summary();
}
