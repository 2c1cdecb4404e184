/* The word-at-a-time memory functions and strlen against byte-by-byte references: every alignment of source and
 * destination 0..7, lengths 0..70, overlapping ranges, canary bytes around every destination. */
#include <string.h>

#include "tt.h"

extern "C" unsigned char g_heap[];

#define MAX_LEN 70
#define SPAN 112
#define CANARY 0xa5

static unsigned char g_src[SPAN];
static unsigned char g_dst[SPAN];
static unsigned char g_want[SPAN];

__attribute__((noinline)) static void ref_forward(unsigned char *d, const unsigned char *s, unsigned int n)
{
    for (unsigned int i = 0; i < n; i++)
        d[i] = s[i];
}

__attribute__((noinline)) static void ref_move(unsigned char *d, const unsigned char *s, unsigned int n)
{
    unsigned char tmp[SPAN];
    for (unsigned int i = 0; i < n; i++)
        tmp[i] = s[i];
    for (unsigned int i = 0; i < n; i++)
        d[i] = tmp[i];
}

/* Distinct bytes, the high bit set on some, so that a misplaced or doubled byte is always seen. */
static void fill_pattern(unsigned char *p, unsigned int n, unsigned int seed)
{
    for (unsigned int i = 0; i < n; i++)
        p[i] = (unsigned char)(i * 37 + seed * 11 + 1);
}

static bool same(const unsigned char *a, const unsigned char *b, unsigned int n)
{
    for (unsigned int i = 0; i < n; i++) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

/* Reports one failing case with its parameters instead of thousands of lines. */
static bool check_case(bool ok, const char *what, unsigned int a, unsigned int b, unsigned int n)
{
    if (!TT_CHECK(ok)) {
        tt_put(what);
        tt_put(" at ");
        tt_put_int(a);
        tt_put(",");
        tt_put_int(b);
        tt_put(" length ");
        tt_put_int(n);
        tt_put("\n");
    }
    return ok;
}

static void test_copy_and_set(void)
{
    bool ok = true;
    for (unsigned int sa = 0; sa < 8 && ok; sa++) {
        for (unsigned int da = 0; da < 8 && ok; da++) {
            for (unsigned int n = 0; n <= MAX_LEN && ok; n++) {
                fill_pattern(g_src, SPAN, n);
                memset(g_want, CANARY, SPAN);
                ref_forward(g_want + 8 + da, g_src + sa, n);
                ref_forward(g_dst, g_want, SPAN);
                for (unsigned int i = 0; i < n; i++)
                    g_dst[8 + da + i] = CANARY;
                void *r = memcpy(g_dst + 8 + da, g_src + sa, n);
                ok = check_case(r == g_dst + 8 + da && same(g_dst, g_want, SPAN), "memcpy", sa, da, n);

                for (unsigned int i = 0; i < n; i++)
                    g_dst[8 + da + i] = CANARY;
                r = memmove(g_dst + 8 + da, g_src + sa, n);
                ok = ok && check_case(r == g_dst + 8 + da && same(g_dst, g_want, SPAN), "memmove", sa, da, n);

                for (unsigned int i = 0; i < n; i++)
                    g_want[8 + da + i] = (unsigned char)(0xc3 + sa);
                r = memset(g_dst + 8 + da, 0x7700 + 0xc3 + sa, n);
                ok = ok && check_case(r == g_dst + 8 + da && same(g_dst, g_want, SPAN), "memset", sa, da, n);
            }
        }
    }
}

/* Inside one buffer: memcpy must give what a forward byte copy gives, memmove what a copy through a temporary
 * gives, for every distance from -9 to 9 between the ranges. */
static void test_overlap(void)
{
    bool ok = true;
    for (unsigned int sa = 0; sa < 8 && ok; sa++) {
        for (int delta = -9; delta <= 9 && ok; delta++) {
            unsigned int so = 12 + sa;
            unsigned int dof = (unsigned int)((int)so + delta);
            for (unsigned int n = 0; n <= MAX_LEN && ok; n++) {
                fill_pattern(g_want, SPAN, n + sa);
                ref_forward(g_dst, g_want, SPAN);
                ref_forward(g_want + dof, g_want + so, n);
                void *r = memcpy(g_dst + dof, g_dst + so, n);
                ok = check_case(r == g_dst + dof && same(g_dst, g_want, SPAN), "overlapping memcpy", so, dof, n);

                fill_pattern(g_want, SPAN, n + sa);
                ref_forward(g_dst, g_want, SPAN);
                ref_move(g_want + dof, g_want + so, n);
                r = memmove(g_dst + dof, g_dst + so, n);
                ok = ok && check_case(r == g_dst + dof && same(g_dst, g_want, SPAN), "overlapping memmove", so,
                                      dof, n);
            }
        }
    }
}

static int ref_compare(const unsigned char *a, const unsigned char *b, unsigned int n)
{
    for (unsigned int i = 0; i < n; i++) {
        if (a[i] != b[i])
            return a[i] - b[i];
    }
    return 0;
}

/* Every length, every alignment pair, and a difference at every position, in both directions. */
static void test_compare(void)
{
    bool ok = true;
    for (unsigned int aa = 0; aa < 8 && ok; aa++) {
        for (unsigned int ba = 0; ba < 8 && ok; ba++) {
            for (unsigned int n = 0; n <= MAX_LEN && ok; n++) {
                fill_pattern(g_src, SPAN, 3);
                fill_pattern(g_dst, SPAN, 3);
                unsigned char *a = g_src + 8 + aa;
                unsigned char *b = g_dst + 8 + ba;
                ref_forward(b, a, n);
                ok = check_case(memcmp(a, b, n) == 0, "equal memcmp", aa, ba, n);
                for (unsigned int at = 0; at < n && ok; at++) {
                    b[at] = (unsigned char)(a[at] ^ (at & 1 ? 0x80 : 0x01));
                    for (unsigned int later = at + 1; later < n; later++)
                        b[later] = (unsigned char)(a[later] + 0x40);
                    int want = ref_compare(a, b, n);
                    ok = check_case(memcmp(a, b, n) == want && memcmp(b, a, n) == -want, "memcmp", aa, ba, n);
                    ref_forward(b, a, n);
                }
                /* Bytes beyond n never count. */
                a[n] = 1;
                b[n] = 2;
                ok = ok && check_case(memcmp(a, b, n) == 0, "memcmp past n", aa, ba, n);
            }
        }
    }
}

/* Every start alignment and length, with non-zero bytes after the terminator; bytes of 0x80 and 0x01 around
 * zero test the word checks for false hits. */
static void test_length(void)
{
    bool ok = true;
    const unsigned char fills[] = {'a', 0x80, 0x01, 0xff, 0x7f};
    for (unsigned int fill : fills) {
        for (unsigned int sa = 0; sa < 8 && ok; sa++) {
            for (unsigned int n = 0; n <= MAX_LEN && ok; n++) {
                memset(g_src, fill, SPAN);
                g_src[8 + sa + n] = 0;
                ok = check_case(strlen((const char *)g_src + 8 + sa) == n, "strlen", fill, sa, n);
            }
        }
    }
    memset(g_src, 0x01, SPAN);
    g_src[8] = 0x81;
    g_src[9] = 0;
    TT_EQ(strlen((const char *)g_src + 8), 1);
}

/* The zero-initialised data ends with the heap arena and a few small variables; the rest of its last page is
 * mapped but unused, and the page after it is not mapped. Ranges that end at that page's last byte turn any
 * read past their end into a fault. */
static unsigned char *page_end_after_arena(void)
{
    unsigned long end = (unsigned long)(g_heap + 1048576);
    unsigned long page_end = (end + 4095) & ~4095ul;
    return page_end - end >= 512 ? (unsigned char *)page_end : nullptr;
}

static void test_page_end(void)
{
    unsigned char *limit = page_end_after_arena();
    if (!limit) {
        tt_put("note: no free room before the end of the data; page-end cases skipped\n");
        return;
    }
    bool ok = true;
    for (unsigned int n = 0; n <= 40 && ok; n++) {
        char *s = (char *)limit - 1 - n;
        memset(s, 'q', n);
        s[n] = 0;
        ok = check_case(strlen(s) == n, "strlen at page end", 0, 0, n);
        unsigned char *a = limit - n;
        unsigned char *b = limit - 256 - n;
        memset(a, 0x5a, n);
        ok = ok && check_case(memcpy(b, a, n) == b && memcmp(b, a, n) == 0, "memcpy at page end", 0, 0, n);
        ok = ok && check_case(memcmp(a, b, n) == 0, "memcmp at page end", 0, 0, n);
        ok = ok && check_case(memmove(a, b + 1, n) == a && memmove(b, a, n) == b, "memmove at page end", 0, 0, n);
        memset(a, 0, n);
    }
}

int main()
{
    test_copy_and_set();
    test_overlap();
    test_compare();
    test_length();
    test_page_end();
    return tt_summary();
}
