/* Formatted input: the white-space sets, each conversion's accepted text, widths, suppression, the end of the
   scan, and fscanf word by word over a file, a memory stream's refusal and a read failure. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "tt.h"

static void test_white_space()
{
    int n = -1;
    TT_EQ(sscanf("", "%d", &n), 0);
    TT_EQ(sscanf("\n42", "%d", &n), 0);
    TT_EQ(n, -1);
    TT_EQ(sscanf("\n42", " %d", &n), 1);
    TT_EQ(n, 42);
    TT_EQ(sscanf(" \t 43", "%d", &n), 1);
    TT_EQ(n, 43);
    TT_EQ(sscanf("\r5", "%d", &n), 0);
    TT_EQ(sscanf("\r5", " %d", &n), 0);
    /* a carriage return in the format is a literal, not white space */
    TT_EQ(sscanf("\r5", "\r%d", &n), 1);
    TT_EQ(n, 5);
    TT_EQ(sscanf("\v6", " %d", &n), 0);
    TT_EQ(sscanf("\v6", "\v%d", &n), 1);
    TT_EQ(n, 6);
    int a = 0;
    int b = 0;
    TT_EQ(sscanf("1 \n\t 2", "%d\n%d", &a, &b), 2);
    TT_EQ(b, 2);
    TT_EQ(sscanf("12", "1 \t\n 2%d", &a), 0);
    TT_EQ(sscanf("1 2 3", "%d %d", &a, &b), 2);
}

static void test_integers()
{
    int n = 0;
    TT_EQ(sscanf("-0x1f", "%i", &n), 1);
    TT_EQ(n, -31);
    TT_EQ(sscanf("017", "%i", &n), 1);
    TT_EQ(n, 15);
    int rest = -1;
    TT_EQ(sscanf("08", "%i%d", &n, &rest), 2);
    TT_EQ(n, 0);
    TT_EQ(rest, 8);
    TT_EQ(sscanf("0", "%i", &n), 1);
    TT_EQ(n, 0);
    TT_EQ(sscanf("+0XfF", "%i", &n), 1);
    TT_EQ(n, 255);
    n = 7;
    TT_EQ(sscanf("0xg", "%i", &n), 0);
    TT_EQ(n, 7);
    TT_EQ(sscanf("0x1f", "%x", &n), 1);
    TT_EQ(n, 0);
    TT_EQ(sscanf("-ff", "%x", &n), 1);
    TT_EQ(n, -255);
    TT_EQ(sscanf("DeadBeef", "%X", &n), 1);
    TT_EQ(n, (int)0xDEADBEEFu);
    TT_EQ(sscanf("4294967295", "%d", &n), 1);
    TT_EQ(n, -1);
    TT_EQ(sscanf("4294967296", "%d", &n), 1);
    TT_EQ(n, 0);
    TT_EQ(sscanf("123456", "%3d", &n), 1);
    TT_EQ(n, 123456);
    n = 9;
    TT_EQ(sscanf("- 5", "%d", &n), 0);
    TT_EQ(sscanf("-", "%d", &n), 0);
    TT_EQ(sscanf("+", "%x", &n), 0);
    TT_EQ(sscanf("x", "%d", &n), 0);
    TT_EQ(n, 9);
    TT_EQ(sscanf("12ab", "%dab", &n), 1);
    TT_EQ(n, 12);

    unsigned int u = 3;
    TT_EQ(sscanf("-5", "%u", &u), 0);
    TT_EQ(sscanf("+5", "%u", &u), 0);
    TT_EQ(u, 3u);
    TT_EQ(sscanf("4294967295", "%u", &u), 1);
    TT_EQ(u, 4294967295u);
    TT_EQ(sscanf("\t 4294967297", "%u", &u), 1);
    TT_EQ(u, 1u);
}

static void test_characters_and_words()
{
    char x = 0;
    char y = 0;
    char z = 0;
    TT_EQ(sscanf("a b", "%c%c%c", &x, &y, &z), 3);
    TT_EQ(x, 'a');
    TT_EQ(y, ' ');
    TT_EQ(z, 'b');
    TT_EQ(sscanf("\n", "%5c", &x), 1);
    TT_EQ(x, '\n');
    TT_EQ(sscanf("", "%c", &x), 0);
    TT_EQ(sscanf("q", "%*c%c", &x), 0);

    int n = 0;
    char buf[16];
    TT_EQ(sscanf("12 abc", "%d %s", &n, buf), 2);
    TT_EQ(n, 12);
    TT_STR_EQ(buf, "abc");
    TT_EQ(sscanf("\t word\rx\nnext", "%s", buf), 1);
    TT_STR_EQ(buf, "word\rx");
    TT_EQ(sscanf("\nabc", "%s", buf), 1);
    TT_STR_EQ(buf, "");
    TT_EQ(sscanf("  ", "%s", buf), 0);
    TT_EQ(sscanf("abc def", "%s %s", nullptr, buf), 1);
    TT_STR_EQ(buf, "def");
    TT_EQ(sscanf("abc def", "%*s %s", buf), 1);
    TT_STR_EQ(buf, "def");
}

/* A width on %s is the most characters stored; the terminator comes on top and the rest stays in the input. */
static void test_word_width()
{
    char buf[8];
    for (int i = 0; i < 8; i++)
        buf[i] = '#';
    char rest[16];
    TT_EQ(sscanf("abcdef", "%2s%s", buf, rest), 2);
    TT_MEM_EQ(buf, "ab\0#####", 8);
    TT_STR_EQ(rest, "cdef");
    TT_EQ(sscanf("abc def", "%5s %s", buf, rest), 2);
    TT_MEM_EQ(buf, "abc\0", 4);
    TT_STR_EQ(rest, "def");
    TT_EQ(sscanf("abcdefghijkl", "%7s", buf), 1);
    TT_MEM_EQ(buf, "abcdefg", 8);
    TT_EQ(sscanf("abcdefgh", "%*3s%s", rest), 1);
    TT_STR_EQ(rest, "defgh");
    TT_EQ(sscanf("abcdefgh", "%99999999999999s", rest), 1);
    TT_STR_EQ(rest, "abcdefgh");
    /* a width given in the format but ignored on the other conversions */
    int n = 0;
    TT_EQ(sscanf("98765", "%1d", &n), 1);
    TT_EQ(n, 98765);
}

static void test_end_of_scan()
{
    int n = -1;
    int m = -1;
    TT_EQ(sscanf("5", "%ld", &n), 0);
    TT_EQ(sscanf("5", "%f", &n), 0);
    TT_EQ(sscanf("5", "%n", &n), 0);
    TT_EQ(sscanf("a", "%[a]", &n), 0);
    TT_EQ(sscanf("5", "%o", &n), 0);
    TT_EQ(sscanf("5", "%", &n), 0);
    TT_EQ(sscanf("5", "%3*d", &n), 0);
    TT_EQ(n, -1);
    TT_EQ(sscanf("%5", "%%%d", &n), 1);
    TT_EQ(n, 5);
    TT_EQ(sscanf(" %5", "%%%d", &n), 0);
    TT_EQ(sscanf("7", "%*d%d", &n), 0);
    TT_EQ(sscanf("7 8", "%*d%d", &n), 1);
    TT_EQ(n, 8);
    TT_EQ(sscanf("1,2", "%d,%d", &n, &m), 2);
    TT_EQ(m, 2);
    m = -1;
    TT_EQ(sscanf("1;2", "%d,%d", &n, &m), 1);
    TT_EQ(m, -1);
    TT_EQ(sscanf("ab", "abc", &n), 0);
    TT_EQ(sscanf("3 x", "%d %d", &n, &m), 1);
    TT_EQ(n, 3);
}

/* A descriptor stream on fd, made by hand so these checks rely on nothing else of the stream layer. */
static FILE fd_stream(int fd)
{
    FILE f = {};
    f.kind = STREAM_KIND_FD;
    f.fd = fd;
    return f;
}

static void test_fscanf_file()
{
    int fd = open("/words.txt", 0, 0);
    TT_CHECK(fd > 2);
    FILE f = fd_stream(fd);
    int a = 0;
    int b = 0;
    /* "  12 34\n\r\tabc 0x1f\n" */
    TT_EQ(fscanf(&f, "%d %d", &a, &b), 1);
    TT_EQ(a, 12);
    TT_EQ(f.pos, 5);
    TT_EQ(fscanf(&f, "%d", &b), 1);
    TT_EQ(b, 34);
    TT_EQ(f.pos, 8);
    char word[8];
    TT_EQ(fscanf(&f, "%d", &a), 0);
    TT_EQ(f.pos, 14);
    TT_EQ(fscanf(&f, "%i", &a), 1);
    TT_EQ(a, 31);
    TT_EQ(f.pos, 19);
    TT_EQ(f.eof, 0);
    TT_EQ(fscanf(&f, "%s", word), -1);
    TT_EQ(f.eof, 1);
    TT_EQ(f.pos, 19);
    TT_EQ(f.err, 0);
    TT_EQ(fscanf(&f, "%s", word), -1);
    close(fd);

    /* a read failure before any byte is -1, and sets eof like the end of the file */
    FILE bad = fd_stream(99);
    TT_EQ(fscanf(&bad, "%s", word), -1);
    TT_EQ(bad.eof, 1);
    TT_EQ(bad.pos, 0);
}

static void test_fscanf_refusals()
{
    int n = 0;
    FILE mem = {};
    mem.kind = STREAM_KIND_MEMSTREAM;
    TT_EQ(fscanf(&mem, "%d", &n), -1);
    FILE stored = {};
    stored.kind = STREAM_KIND_WRITEFILE;
    TT_EQ(fscanf(&stored, "%d", &n), -1);
    TT_EQ(fscanf(nullptr, "%d", &n), -1);
    FILE f = fd_stream(0);
    TT_EQ(fscanf(&f, nullptr), -1);
    TT_EQ(f.pos, 0);
    TT_EQ(f.eof, 0);
}

int main()
{
    test_white_space();
    test_integers();
    test_characters_and_words();
    test_word_width();
    test_end_of_scan();
    test_fscanf_file();
    test_fscanf_refusals();
    TT_EQ(errno, 0);
    return tt_summary();
}
