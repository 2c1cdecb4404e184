/* tt.h: the hermetic test framework of tavik programs. Checks print a line when they fail; tt_summary() prints
 * "N passed, N failed" and gives the exit status. It writes through write() alone, so it relies on nothing of the
 * library that a test might be testing. */
#ifndef TAVIK_TT_H
#define TAVIK_TT_H

#include <unistd.h>

static int tt_passed;
static int tt_failed;

static inline unsigned int tt_len(const char *s)
{
    unsigned int n = 0;
    while (s && s[n])
        n++;
    return n;
}

static inline void tt_put(const char *s)
{
    if (s)
        write(1, s, tt_len(s));
}

static inline void tt_put_int(long long v)
{
    char digits[24];
    int n = 0;
    unsigned long long u = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
    do {
        digits[n++] = (char)('0' + (int)(u % 10));
        u /= 10;
    } while (u && n < 24);
    if (v < 0)
        tt_put("-");
    while (n > 0)
        write(1, &digits[--n], 1);
}

static inline void tt_put_quoted(const char *s, unsigned int n)
{
    static const char hex[] = "0123456789abcdef";
    tt_put("\"");
    for (unsigned int i = 0; i < n; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c >= 32 && c < 127 && c != '"' && c != '\\') {
            write(1, &s[i], 1);
            continue;
        }
        char esc[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
        write(1, esc, 4);
    }
    tt_put("\"");
}

static inline bool tt_record(bool ok, const char *what, const char *file, int line)
{
    if (ok) {
        tt_passed++;
        return true;
    }
    tt_failed++;
    tt_put("FAIL ");
    tt_put(file);
    tt_put(":");
    tt_put_int(line);
    tt_put(": ");
    tt_put(what);
    return false;
}

static inline bool tt_check(bool ok, const char *expr, const char *file, int line)
{
    if (!tt_record(ok, expr, file, line))
        tt_put("\n");
    return ok;
}

static inline bool tt_check_eq(long long got, long long want, const char *expr, const char *file, int line)
{
    if (tt_record(got == want, expr, file, line))
        return true;
    tt_put(": got ");
    tt_put_int(got);
    tt_put(", want ");
    tt_put_int(want);
    tt_put("\n");
    return false;
}

static inline bool tt_check_mem(const void *got, const void *want, unsigned int n, const char *expr, const char *file,
                         int line)
{
    const unsigned char *g = (const unsigned char *)got;
    const unsigned char *w = (const unsigned char *)want;
    bool same = g && w;
    for (unsigned int i = 0; same && i < n; i++)
        same = g[i] == w[i];
    if (tt_record(same, expr, file, line))
        return true;
    tt_put(": got ");
    if (g)
        tt_put_quoted((const char *)g, n);
    else
        tt_put("null");
    tt_put(", want ");
    tt_put_quoted((const char *)w, n);
    tt_put("\n");
    return false;
}

static inline bool tt_check_str(const char *got, const char *want, const char *expr, const char *file, int line)
{
    unsigned int n = tt_len(want) + 1;
    if (got && tt_len(got) + 1 != n) {
        tt_record(false, expr, file, line);
        tt_put(": got ");
        tt_put_quoted(got, tt_len(got));
        tt_put(", want ");
        tt_put_quoted(want, n - 1);
        tt_put("\n");
        return false;
    }
    return tt_check_mem(got, want, n, expr, file, line);
}

/* Prints the summary line and returns the exit status: 0 when every check passed. */
static inline int tt_summary(void)
{
    tt_put_int(tt_passed);
    tt_put(" passed, ");
    tt_put_int(tt_failed);
    tt_put(" failed\n");
    return tt_failed ? 1 : 0;
}

#define TT_CHECK(cond) tt_check((cond), #cond, __FILE__, __LINE__)
#define TT_EQ(got, want) tt_check_eq((long long)(got), (long long)(want), #got " == " #want, __FILE__, __LINE__)
#define TT_MEM_EQ(got, want, n) tt_check_mem((got), (want), (n), #got " == " #want, __FILE__, __LINE__)
#define TT_STR_EQ(got, want) tt_check_str((got), (want), #got " == " #want, __FILE__, __LINE__)

#endif
