/* The stream formatter into memory streams: exact bytes and results per directive family, 64-bit values read as
 * two words, the absent flags, the failure results, and a precision that bounds how far a string is read. */
#include <stdarg.h>
#include <stdio.h>

#include "tt.h"
#include "tt_guard.h"
#include "va_calls.h"

/* One case: a format, up to six argument words (a 64-bit value is two, low word first), and its output. */
struct printf_row {
    const char *format;
    unsigned int args[6];
    const char *want;
};

static unsigned int word(const char *s)
{
    return (unsigned int)(unsigned long)s;
}

/* What a memory stream collected; its buffer stays valid after fclose. */
struct captured {
    int result;
    const char *bytes;
    unsigned int len;
};

static captured capture_words(const char *format, const unsigned int *a)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *m = open_memstream(&buf, &len);
    captured c = {-2, "", 0};
    if (!TT_CHECK(m != nullptr))
        return c;
    c.result = fprintf(m, format, a[0], a[1], a[2], a[3], a[4], a[5]);
    fclose(m);
    c.bytes = buf ? buf : "";
    c.len = (unsigned int)len;
    return c;
}

static void check_rows(const printf_row *rows, unsigned int count)
{
    for (unsigned int r = 0; r < count; r++) {
        const printf_row &row = rows[r];
        captured c = capture_words(row.format, row.args);
        unsigned int want = tt_len(row.want);
        bool ok = TT_EQ(c.result, want);
        ok = TT_EQ(c.len, want) && ok;
        ok = TT_MEM_EQ(c.bytes, row.want, want + 1) && ok;
        if (!ok) {
            tt_put("  in the case of format ");
            tt_put_quoted(row.format, tt_len(row.format));
            tt_put("\n");
        }
    }
}

static void test_integers(void)
{
    const printf_row rows[] = {
        {"hi %d!", {42}, "hi 42!"},
        {"%d", {0x80000000u}, "-2147483648"},
        {"%i", {0xFFFFFFF9u}, "-7"},
        {"%u", {0xFFFFFFFFu}, "4294967295"},
        {"%x", {0xDEADBEEFu}, "deadbeef"},
        {"%5d|", {42}, "   42|"},
        {"%8.3d", {0xFFFFFFF9u}, "    -007"},
        {"%05d", {42}, "   42"},
        {"%.3d", {7}, "007"},
        {"%.0d", {0}, "0"},
        {"%.0x", {0}, "0"},
        {"%5.0d", {0}, "    0"},
        {"%2d", {12345}, "12345"},
        {"%*d", {4, 7}, "   7"},
        {"%*d", {0xFFFFFFFBu, 7}, "7"},
        {"%.*d", {3, 7}, "007"},
        {"%.*d", {0xFFFFFFFFu, 7}, "7"},
        {"%*.*x", {6, 4, 0xAB}, "  00ab"},
        {"%lu|%d", {1, 2}, "1|2"},
        {"%ld", {0xFFFFFFFFu}, "-1"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_long_long(void)
{
    const printf_row rows[] = {
        {"%lld", {0xFFFFFFFBu, 0xFFFFFFFFu}, "-5"},
        {"%llu", {0xFFFFFFFFu, 0xFFFFFFFFu}, "18446744073709551615"},
        {"%llx", {0x55667788u, 0x11223344u}, "1122334455667788"},
        {"%lld", {0, 0x80000000u}, "-9223372036854775808"},
        {"%lli", {0xFFFFFFFFu, 0x7FFFFFFFu}, "9223372036854775807"},
        {"%llu", {0, 1}, "4294967296"},
        {"%llu|%d", {10, 0, 3}, "10|3"},
        {"%25lld|", {0, 0x80000000u}, "     -9223372036854775808|"},
        {"%.22llu", {1, 0}, "0000000000000000000001"},
        {"%llp", {0x5678, 0x1234}, "0x123400005678"},
        /* ll is ignored for c and s, which take one word. */
        {"%llc%d", {'A', 5}, "A5"},
        {"%lls%d", {word("ab"), 5}, "ab5"},
        {"%lll", {}, "%l"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);

    /* The same layout as the compiler passes a real 64-bit argument. */
    char *buf = nullptr;
    size_t len = 0;
    FILE *m = open_memstream(&buf, &len);
    TT_EQ(fprintf(m, "%lld %llx %d", -1234567890123ll, 0xFEDCBA9876543210ull, 7), 33);
    TT_STR_EQ(buf, "-1234567890123 fedcba9876543210 7");
    fclose(m);
}

static void test_pointers(void)
{
    const printf_row rows[] = {
        {"%p", {0x1234}, "0x1234"},
        {"%10p", {0x1234}, "    0x1234"},
        {"%.8p", {0x1234}, "0x00001234"},
        {"%12.8p", {0x1234}, "  0x00001234"},
        {"%p", {0}, "0x0"},
        {"%3p", {0x1234}, "0x1234"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_no_flags_and_unrecognised(void)
{
    const printf_row rows[] = {
        {"%-5d", {42}, "%-5d"},
        {"%X", {255}, "%X"},
        {"%X%d", {255}, "%X255"},
        {"%zd", {5}, "%zd"},
        {"%+d", {3}, "%+d"},
        {"% d", {4}, "% d"},
        {"%#x", {5}, "%#x"},
        {"%o%f%n%q", {}, "%o%f%n%q"},
        {"%hd|%d", {6}, "%hd|6"},
        {"%5.2f", {}, "%f"},
        {"%5%", {}, "%"},
        {"%l%", {}, "%"},
        {"%ll%", {}, "%"},
        {"%5c", {'A'}, "A"},
        {"%c%c", {'h', 0x169}, "hi"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);

    /* The zero byte of "%c" of 0 is written and counted. */
    const unsigned int zero[6] = {0};
    captured c = capture_words("a%cb", zero);
    TT_EQ(c.result, 3);
    TT_EQ(c.len, 3);
    TT_MEM_EQ(c.bytes, "a\0b", 4);
}

static void test_strings(void)
{
    const printf_row rows[] = {
        {"%s", {word("abc")}, "abc"},
        {"%s", {0}, "(null)"},
        {"%.2s", {0}, "(n"},
        {"%5.2s", {word("abc")}, "   ab"},
        {"%.*s", {0xFFFFFFFFu, word("abc")}, "abc"},
        {"%*s", {0xFFFFFFFBu, word("abc")}, "abc"},
        {"%*s|", {5, word("abc")}, "  abc|"},
        {"%.0s|", {word("abc")}, "|"},
        {"%.s|", {word("abc")}, "|"},
        {"%3s|", {word("")}, "   |"},
        {"%.9s", {word("abc")}, "abc"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_string_precision_bounds_the_read(void)
{
    char *field = tt_guarded_copy("wxyz", 4);
    const printf_row rows[] = {
        {"[%.4s]", {word(field)}, "[wxyz]"},
        {"[%6.4s]", {word(field)}, "[  wxyz]"},
        {"%.2s", {word(field + 2)}, "yz"},
        {"%.*s", {1, word(field + 3)}, "z"},
        {"%.0s|", {word(field + 4)}, "|"},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_format_end(void)
{
    const printf_row rows[] = {
        {"abc%", {}, "abc"},
        {"%", {}, ""},
        {"%5", {}, ""},
        {"%.", {}, ""},
        {"%*", {3}, ""},
        {"%l", {}, ""},
        {"x%ll", {}, "x"},
        {"", {}, ""},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

static void test_results_and_streams(void)
{
    TT_EQ(fprintf(nullptr, "x"), -1);
    TT_EQ(printf(nullptr), -1);
    TT_EQ(list_vfprintf(nullptr, "x"), -1);
    TT_EQ(fprintf(stdin, "x"), -1);
    TT_EQ(fprintf(stdin, "%d", 5), -1);
    TT_EQ(fprintf(stdin, ""), 0);
    TT_EQ(fprintf(stdin, "%"), 0);

    /* No 0xFF sequence on a memory stream: a leading "%c" is the ordinary conversion. */
    const unsigned int letters[6] = {65, 66, 67};
    captured c = capture_words("%c", letters);
    TT_EQ(c.result, 1);
    TT_MEM_EQ(c.bytes, "A", 2);

    /* printf writes where stdout points at the moment of the call. */
    char *buf = nullptr;
    size_t len = 0;
    FILE *m = open_memstream(&buf, &len);
    FILE *saved = stdout;
    stdout = m;
    int n = printf("%c=%d", 'k', 12);
    stdout = saved;
    TT_EQ(n, 4);
    TT_EQ(len, 4);
    TT_STR_EQ(buf, "k=12");
    TT_EQ(list_vfprintf(m, "%s|%x", "v", 0xFF), 4);
    TT_STR_EQ(buf, "k=12v|ff");
    fclose(m);

    /* A file opened for writing collects the pieces too, and a leading "%c" there is a character. */
    FILE *out = fopen("formatted", "w");
    TT_EQ(fprintf(out, "%c%d|%5s", 'A', 7, "end"), 8);
    TT_EQ(fclose(out), 0);
    char back[16] = {};
    FILE *in = fopen("formatted", "r");
    TT_CHECK(in != nullptr);
    TT_EQ(fread(back, 1, sizeof back, in), 8);
    TT_STR_EQ(back, "A7|  end");
    fclose(in);
}

int main(void)
{
    test_integers();
    test_long_long();
    test_pointers();
    test_no_flags_and_unrecognised();
    test_strings();
    test_string_precision_bounds_the_read();
    test_format_end();
    test_results_and_streams();
    return tt_summary();
}
