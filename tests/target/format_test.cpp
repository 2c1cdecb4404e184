/* The buffer formatter: exact bytes and results per directive family, truncation with canaries behind the array,
 * and a precision that bounds how far a string is read. */
#include <stdarg.h>
#include <stdio.h>

#include "tt.h"
#include "tt_guard.h"
#include "va_calls.h"

static const unsigned char g_canary = 0xA5;

/* One case: a format, up to four argument words, and the output it must give (its length is the result). */
struct fmt_row {
    const char *format;
    unsigned int args[4];
    const char *want;
};

/* Every argument of this formatter is one 32-bit word, strings included. */
static unsigned int word(const char *s)
{
    return (unsigned int)(unsigned long)s;
}

static void fill(char *buf, unsigned int n)
{
    for (unsigned int i = 0; i < n; i++)
        buf[i] = (char)g_canary;
}

/* True when buf[from..n) still holds the canary. */
static bool canary_intact(const char *buf, unsigned int from, unsigned int n)
{
    for (unsigned int i = from; i < n; i++)
        if ((unsigned char)buf[i] != g_canary)
            return false;
    return true;
}

static void check_rows(const fmt_row *rows, unsigned int count)
{
    for (unsigned int r = 0; r < count; r++) {
        const fmt_row &row = rows[r];
        char buf[48];
        fill(buf, sizeof buf);
        int n = snprintf(buf, 40, row.format, row.args[0], row.args[1], row.args[2], row.args[3]);
        unsigned int len = tt_len(row.want);
        bool ok = TT_EQ(n, len);
        ok = TT_MEM_EQ(buf, row.want, len + 1) && ok;
        ok = TT_CHECK(canary_intact(buf, len + 1, sizeof buf)) && ok;
        if (!ok) {
            tt_put("  in the case of format ");
            tt_put_quoted(row.format, tt_len(row.format));
            tt_put("\n");
        }
    }
}

static void test_signed(void)
{
    const fmt_row rows[] = {
        {"%d", {42}, "42"},
        {"%i", {0xFFFFFFD6u}, "-42"},
        {"%d", {0}, "0"},
        {"%d", {0x80000000u}, "-2147483648"},
        {"%d", {0x7FFFFFFFu}, "2147483647"},
        {"%+d", {0}, "+0"},
        {"%+d", {5}, "+5"},
        {"%+d", {0xFFFFFFFBu}, "-5"},
        {"%5d", {42}, "   42"},
        {"%-5d|", {42}, "42   |"},
        {"%05d", {42}, "00042"},
        {"%05d", {0xFFFFFFD6u}, "-0042"},
        {"%+05d", {7}, "+0007"},
        {"%-05d", {7}, "7    "},
        {"%0-5d", {7}, "7    "},
        {"%--00++3d", {1}, "+1 "},
        {"%.5d", {0xFFFFFFFFu}, "-00001"},
        {"%.3d", {12345}, "12345"},
        {"%08.5d", {42}, "   00042"},
        {"%-8.5d|", {42}, "00042   |"},
        {"%+8.3d", {7}, "    +007"},
        {"%012d", {0x80000000u}, "-02147483648"},
        {"%2d", {12345}, "12345"},
        {"%.0d", {0}, "0"},
        {"%5.0d", {0}, "    0"},
        {"%.d", {0}, "0"},
        {"%d%d%d", {1, 2, 3}, "123"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_unsigned_and_hex(void)
{
    const fmt_row rows[] = {
        {"%u", {0xFFFFFFFFu}, "4294967295"},
        {"%u", {0}, "0"},
        {"%+u", {7}, "7"},
        {"%+05u", {7}, "00007"},
        {"%x", {0xFFFFFFD6u}, "ffffffd6"},
        {"%X", {255}, "FF"},
        {"%X", {0xDEADBEEFu}, "DEADBEEF"},
        {"%x", {0xDEADBEEFu}, "deadbeef"},
        {"%08x", {0xBEEF}, "0000beef"},
        {"%-6X|", {0xAB}, "AB    |"},
        {"%.4x", {0xA}, "000a"},
        {"%+x", {0xA}, "a"},
        {"%.0u", {0}, "0"},
        {"%.0x", {0}, "0"},
        {"%x", {0}, "0"},
        {"%10.6u", {123}, "    000123"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_star_arguments(void)
{
    const fmt_row rows[] = {
        {"%*d", {5, 42}, "   42"},
        {"%*d", {0xFFFFFFFBu, 42}, "42"},
        {"%-*d", {0xFFFFFFFBu, 42}, "42"},
        {"%.*d", {0xFFFFFFFDu, 42}, "42"},
        {"%.*d", {4, 42}, "0042"},
        {"%*.*d", {6, 3, 42}, "   042"},
        {"%0*d", {4, 7}, "0007"},
        {"%0.*d", {0xFFFFFFFFu, 7}, "7"},
        {"%0*.*d", {4, 0xFFFFFFFFu, 7}, "0007"},
        /* After '*' no digits are read: the digit is the conversion character. */
        {"%*5d", {3, 9}, "%5d"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_pointer_char_percent(void)
{
    const fmt_row rows[] = {
        {"%p", {0x1234}, "0x1234"},
        {"%10p", {0x1234}, "0x1234"},
        {"%-10p", {0x1234}, "0x1234"},
        {"%.8p", {0x1234}, "0x1234"},
        {"%010p", {0x1234}, "0x1234"},
        {"%p", {0}, "0x0"},
        {"%p", {0xABCDEF01u}, "0xabcdef01"},
        {"%c", {'A'}, "A"},
        {"%5c", {'A'}, "A"},
        {"%-5.3c|", {'A'}, "A|"},
        {"%c", {0x141}, "A"},
        {"%c%c", {'h', 'i'}, "hi"},
        {"%%", {}, "%"},
        {"%5%", {}, "%"},
        {"%-05.3%", {}, "%"},
        {"%l%", {}, "%"},
        {"a%%b%d", {1}, "a%b1"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);

    /* A zero byte is produced, stored and counted like any other character. */
    char buf[8];
    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, 6, "a%cb", 0), 3);
    TT_MEM_EQ(buf, "a\0b\0", 4);
    TT_CHECK(canary_intact(buf, 4, sizeof buf));
}

static void test_strings(void)
{
    const fmt_row rows[] = {
        {"%s", {word("abc")}, "abc"},
        {"%s", {0}, "(null)"},
        {"%.3s", {0}, "(nu"},
        {"%5s", {0}, "(null)"},
        {"%8s", {0}, "  (null)"},
        {"%5s", {word("ab")}, "   ab"},
        {"%-5s|", {word("ab")}, "ab|"},
        {"%-*s|", {0xFFFFFFFBu, word("ab")}, "   ab|"},
        {"%*s|", {0xFFFFFFFBu, word("ab")}, "ab|"},
        {"%05s", {word("ab")}, "   ab"},
        {"%+5s", {word("ab")}, "   ab"},
        {"%.s", {word("abc")}, ""},
        {"%.0s|", {word("abc")}, "|"},
        {"%.2s", {word("abc")}, "ab"},
        {"%.10s", {word("abc")}, "abc"},
        {"%5.2s", {word("abc")}, "   ab"},
        {"%.*s", {0xFFFFFFFFu, word("abc")}, "abc"},
        {"%.*s", {1, word("abc")}, "a"},
        {"%-3s|", {word("")}, "|"},
        {"%3s|", {word("")}, "   |"},
        {"%s%s", {word("x"), word("yz")}, "xyz"},
        {"%s", {word("\xff\x80")}, "\xff\x80"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_string_precision_bounds_the_read(void)
{
    char *field = tt_guarded_copy("wxyz", 4);
    char buf[16];
    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, sizeof buf, "[%.4s]", field), 6);
    TT_STR_EQ(buf, "[wxyz]");
    TT_EQ(snprintf(buf, sizeof buf, "[%6.4s]", field), 8);
    TT_STR_EQ(buf, "[  wxyz]");
    TT_EQ(snprintf(buf, sizeof buf, "%.2s", field + 2), 2);
    TT_STR_EQ(buf, "yz");
    TT_EQ(snprintf(buf, sizeof buf, "%.*s", 1, field + 3), 1);
    TT_STR_EQ(buf, "z");
    TT_EQ(snprintf(buf, sizeof buf, "%.0s|", field + 4), 1);
    TT_STR_EQ(buf, "|");
}

static void test_modifiers_and_unrecognised(void)
{
    const fmt_row rows[] = {
        {"%ld", {42}, "42"},
        {"%lld|%d", {42, 7}, "42|7"},
        {"%zd", {42}, "42"},
        {"%lu", {0xFFFFFFFFu}, "4294967295"},
        {"%lX", {0xAB}, "AB"},
        {"%zx", {0xAB}, "ab"},
        {"%-8lld|", {5}, "5       |"},
        {"%q", {}, "%q"},
        {"%o", {}, "%o"},
        {"%f", {}, "%f"},
        {"%n", {}, "%n"},
        {"%hd", {}, "%hd"},
        {"%lz", {}, "%z"},
        {"%zl", {}, "%l"},
        {"%zz", {}, "%z"},
        {"%lll", {}, "%l"},
        {"% d", {}, "% d"},
        {"%#x", {}, "%#x"},
        {"%5.2f", {}, "%f"},
        {"%-08.3lq", {}, "%q"},
        {"%jd%tu%Lx", {}, "%jd%tu%Lx"},
        /* Unrecognised conversions take no argument: the next directive gets it. */
        {"%o%d", {9}, "%o9"},
        {"%hd%d", {9}, "%hd9"},
        {"%*q%d", {3, 9}, "%q9"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_format_end(void)
{
    const fmt_row rows[] = {
        {"abc%", {}, "abc"},
        {"%", {}, ""},
        {"%-", {}, ""},
        {"%5", {}, ""},
        {"%.", {}, ""},
        {"%l", {}, ""},
        {"%ll", {}, ""},
        {"%z", {}, ""},
        {"%*", {5}, ""},
        {"%.*", {5}, ""},
        {"x%+08.3l", {}, "x"},
        {"", {}, ""},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_truncation(void)
{
    char buf[16];
    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, 4, "abcdef"), 6);
    TT_MEM_EQ(buf, "abc", 4);
    TT_CHECK(canary_intact(buf, 4, sizeof buf));

    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, 1, "%s", "abcdef"), 6);
    TT_EQ(buf[0], 0);
    TT_CHECK(canary_intact(buf, 1, sizeof buf));

    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, 0, "hello %d", 42), 8);
    TT_CHECK(canary_intact(buf, 0, sizeof buf));
    TT_EQ(snprintf(nullptr, 0, "hello %d", 42), 8);

    /* A null array with a size is only measured. */
    TT_EQ(snprintf(nullptr, 10, "hello %d", 42), 8);
    TT_EQ(list_vsnprintf(nullptr, 10, nullptr), 0);

    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, 3, "%5d", 42), 5);
    TT_MEM_EQ(buf, "  ", 3);
    TT_CHECK(canary_intact(buf, 3, sizeof buf));

    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, 6, "%-8d|%s", 12, "tail"), 13);
    TT_MEM_EQ(buf, "12   ", 6);
    TT_CHECK(canary_intact(buf, 6, sizeof buf));

    fill(buf, sizeof buf);
    TT_EQ(snprintf(buf, 5, "%.6x", 0xAB), 6);
    TT_MEM_EQ(buf, "0000", 5);
    TT_CHECK(canary_intact(buf, 5, sizeof buf));

    fill(buf, sizeof buf);
    TT_EQ(list_vsnprintf(buf, 10, nullptr), 0);
    TT_EQ(buf[0], 0);
    TT_CHECK(canary_intact(buf, 1, sizeof buf));

    fill(buf, sizeof buf);
    TT_EQ(list_vsnprintf(buf, 10, ""), 0);
    TT_EQ(buf[0], 0);
    TT_CHECK(canary_intact(buf, 1, sizeof buf));

    fill(buf, sizeof buf);
    TT_EQ(list_vsnprintf(buf, 8, "%s-%d", "ab", 7), 4);
    TT_MEM_EQ(buf, "ab-7", 5);
    TT_CHECK(canary_intact(buf, 5, sizeof buf));
}

/* Room for the 65536 bytes the unsized entry points may use, and canaries behind them. */
static char g_big[0x10000 + 64];

static void test_unsized(void)
{
    fill(g_big, sizeof g_big);
    TT_EQ(sprintf(g_big, "%70000d", 1), 70000);
    TT_EQ(g_big[0], ' ');
    TT_EQ(g_big[65534], ' ');
    TT_EQ(g_big[65535], 0);
    TT_CHECK(canary_intact(g_big, 0x10000, sizeof g_big));

    fill(g_big, sizeof g_big);
    TT_EQ(list_vsprintf(g_big, "%s%c", "ok", '!'), 3);
    TT_MEM_EQ(g_big, "ok!", 4);
    TT_CHECK(canary_intact(g_big, 4, sizeof g_big));

    fill(g_big, sizeof g_big);
    TT_EQ(sprintf(g_big, "%d-%x", 10, 10), 4);
    TT_MEM_EQ(g_big, "10-a", 5);
}

int main(void)
{
    test_signed();
    test_unsigned_and_hex();
    test_star_arguments();
    test_pointer_char_percent();
    test_strings();
    test_string_precision_bounds_the_read();
    test_modifiers_and_unrecognised();
    test_format_end();
    test_truncation();
    test_unsized();
    return tt_summary();
}
