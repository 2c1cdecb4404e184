/* string: lengths, comparisons, copies, searches, tokenising and the raw memory operations. */
#include <stdlib.h>
#include <string.h>

extern "C" {

/* Pointers below the first page stand for an absent string in the functions that guard against them. */
static bool is_absent(const void *p)
{
    return (unsigned long)p < 4096;
}

/* Words of the hot paths: may_alias because they read and write memory of any type; loose_word may also lie at
 * any address (the processor allows it), so a source need not share the destination's alignment. */
typedef unsigned int __attribute__((may_alias)) word;
typedef unsigned int __attribute__((may_alias, aligned(1))) loose_word;

#define ONES 0x01010101u
#define HIGHS 0x80808080u

static bool is_aligned(const void *p, unsigned long boundary)
{
    return ((unsigned long)p & (boundary - 1)) == 0;
}

/* Whether one of the four bytes of v is zero, exactly. */
static bool word_has_zero(word v)
{
    return ((v - ONES) & ~v & HIGHS) != 0;
}

/* Whether one of 16 aligned bytes may be zero: subtracting 1 from each byte sets its high bit for a zero byte
 * and, falsely, for bytes from 0x81 up, so a hit is confirmed word by word. Text below 0x80 never hits. */
static bool block_may_have_zero(const word *w)
{
    return (((w[0] - ONES) | (w[1] - ONES) | (w[2] - ONES) | (w[3] - ONES)) & HIGHS) != 0;
}

static bool block_has_zero(const word *w)
{
    return word_has_zero(w[0]) || word_has_zero(w[1]) || word_has_zero(w[2]) || word_has_zero(w[3]);
}

/* Length of s up to its terminator; 0 for an absent string.
 * Words are read only at aligned addresses, and 16-byte blocks only at 16-byte boundaries, so no read reaches
 * into a page that holds no byte of the string: a string may end just before an unmapped page. */
size_t strlen(const char *s)
{
    if (is_absent(s))
        return 0;
    const char *p = s;
    for (; !is_aligned(p, 4); p++) {
        if (*p == 0)
            return p - s;
    }
    const word *w = (const word *)p;
    for (; !is_aligned(w, 16) && !word_has_zero(*w); w++)
        ;
    if (is_aligned(w, 16)) {
        for (;; w += 4) {
            if (!block_may_have_zero(w)) {
                do
                    w += 4;
                while (!block_may_have_zero(w));
            }
            /* The empty asm hides that w is unchanged, so the exact check loads the words again instead of the
             * filter loop keeping its differences for it in registers it does not have to spare. */
            __asm__("" : "+r"(w));
            if (block_has_zero(w))
                break;
        }
        while (!word_has_zero(*w))
            w++;
    }
    for (p = (const char *)w; *p; p++)
        ;
    return p - s;
}

/* Length of s, counting at most n bytes; 0 for an absent string or n = 0. */
size_t strnlen(const char *s, size_t n)
{
    if (is_absent(s) || n == 0)
        return 0;
    size_t i = 0;
    while (i < n && s[i])
        i++;
    return i;
}

/* Byte difference at the first differing pair, 0 when both end together. */
int strcmp(const char *a, const char *b)
{
    if (a == b)
        return 0;
    if (is_absent(a))
        return -1;
    if (is_absent(b))
        return 1;
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    while (*x && *x == *y) {
        x++;
        y++;
    }
    return *x - *y;
}

/* As strcmp over at most n bytes. */
int strncmp(const char *a, const char *b, size_t n)
{
    if (n == 0)
        return 0;
    if (a == b)
        return 0;
    if (is_absent(a))
        return -1;
    if (is_absent(b))
        return 1;
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    for (size_t i = 0; i < n; i++) {
        if (x[i] != y[i] || x[i] == 0)
            return x[i] - y[i];
    }
    return 0;
}

static int fold_ascii(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

/* Compares with ASCII letters folded to lower case; the result is the difference of the folded bytes. */
int strcasecmp(const char *a, const char *b)
{
    if (!a && !b)
        return 0;
    if (!a)
        return -1;
    if (!b)
        return 1;
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    for (;; x++, y++) {
        int d = fold_ascii(*x) - fold_ascii(*y);
        if (d != 0 || *x == 0)
            return d;
    }
}

/* As strcasecmp over at most n bytes. */
int strncasecmp(const char *a, const char *b, size_t n)
{
    if (n == 0)
        return 0;
    if (a == b)
        return 0;
    if (!a)
        return -1;
    if (!b)
        return 1;
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    for (size_t i = 0; i < n; i++) {
        int d = fold_ascii(x[i]) - fold_ascii(y[i]);
        if (d != 0 || x[i] == 0)
            return d;
    }
    return 0;
}

/* Copies src with its terminator into dst; a null src leaves dst empty. */
char *strcpy(char *dst, const char *src)
{
    if (!dst)
        return nullptr;
    if (!src) {
        dst[0] = 0;
        return dst;
    }
    size_t i = 0;
    do {
        dst[i] = src[i];
    } while (src[i++]);
    return dst;
}

/* Writes exactly n bytes: those of src up to its terminator, then zero bytes. */
char *strncpy(char *dst, const char *src, size_t n)
{
    if (!dst || n == 0)
        return dst;
    size_t i = 0;
    if (src) {
        for (; i < n && src[i]; i++)
            dst[i] = src[i];
    }
    for (; i < n; i++)
        dst[i] = 0;
    return dst;
}

/* Appends src with its terminator to the end of dst; an absent dst gives null, an absent src appends nothing. */
char *strcat(char *dst, const char *src)
{
    if (is_absent(dst))
        return nullptr;
    strcpy(dst + strlen(dst), is_absent(src) ? nullptr : src);
    return dst;
}

/* Appends at most n bytes of src to the end of dst, then one terminator. */
char *strncat(char *dst, const char *src, size_t n)
{
    if (is_absent(dst))
        return nullptr;
    if (is_absent(src) || n == 0)
        return dst;
    char *end = dst + strlen(dst);
    size_t i = 0;
    for (; i < n && src[i]; i++)
        end[i] = src[i];
    end[i] = 0;
    return dst;
}

/* First position holding the low byte of c; the terminator itself can be found. */
char *strchr(const char *s, int c)
{
    if (!s)
        return nullptr;
    char want = (char)c;
    for (;; s++) {
        if (*s == want)
            return const_cast<char *>(s);
        if (*s == 0)
            return nullptr;
    }
}

/* Last position holding the low byte of c; the terminator itself can be found. */
char *strrchr(const char *s, int c)
{
    if (!s)
        return nullptr;
    char want = (char)c;
    const char *found = nullptr;
    for (;; s++) {
        if (*s == want)
            found = s;
        if (*s == 0)
            return const_cast<char *>(found);
    }
}

/* First position in hay where all of needle follows; hay itself for an empty needle. */
char *strstr(const char *hay, const char *needle)
{
    if (!hay || !needle)
        return nullptr;
    for (;; hay++) {
        size_t i = 0;
        while (needle[i] && hay[i] == needle[i])
            i++;
        if (needle[i] == 0)
            return const_cast<char *>(hay);
        if (*hay == 0)
            return nullptr;
    }
}

/* Copies the whole words of n bytes forward from s to the aligned d, 16 bytes a round; returns the bytes done.
 * Each round reads a word before it stores the word at the same offset, so with d below s, or at least 4 bytes
 * above it, the bytes stored are those a byte-by-byte forward copy stores, overlap or not. */
static size_t copy_words_forward(unsigned char *d, const unsigned char *s, size_t n)
{
    size_t i = 0;
    for (; n - i >= 16; i += 16) {
        ((word *)(d + i))[0] = ((const loose_word *)(s + i))[0];
        ((word *)(d + i))[1] = ((const loose_word *)(s + i))[1];
        ((word *)(d + i))[2] = ((const loose_word *)(s + i))[2];
        ((word *)(d + i))[3] = ((const loose_word *)(s + i))[3];
    }
    for (; n - i >= 4; i += 4)
        *(word *)(d + i) = *(const loose_word *)(s + i);
    return i;
}

/* Copies n bytes forward, lowest address first.
 * Overlap is not handled, but it is not made worse either: the result is always that of a forward byte copy.
 * A word copy reads up to 3 bytes ahead of the byte it stores, which gives a different result only when d lies
 * 1 to 3 bytes above s; such ranges, and short ones, are copied byte by byte. */
void *memcpy(void *dst, const void *src, size_t n)
{
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    size_t i = 0;
    if (n >= 16 && (unsigned long)d - (unsigned long)s >= 4) {
        for (; !is_aligned(d + i, 4); i++)
            d[i] = s[i];
        i += copy_words_forward(d + i, s + i, n - i);
    }
    for (; i < n; i++)
        d[i] = s[i];
    return dst;
}

/* Copies the n bytes ending at s to those ending at the aligned d, last word first; returns the bytes done.
 * With d above s, no store reaches a source byte that is still to be read. */
static size_t copy_words_backward(unsigned char *d, const unsigned char *s, size_t n)
{
    size_t i = 0;
    for (; n - i >= 16; i += 16) {
        ((word *)(d - i))[-1] = ((const loose_word *)(s - i))[-1];
        ((word *)(d - i))[-2] = ((const loose_word *)(s - i))[-2];
        ((word *)(d - i))[-3] = ((const loose_word *)(s - i))[-3];
        ((word *)(d - i))[-4] = ((const loose_word *)(s - i))[-4];
    }
    for (; n - i >= 4; i += 4)
        ((word *)(d - i))[-1] = ((const loose_word *)(s - i))[-1];
    return i;
}

/* Copies n bytes so that overlapping ranges arrive intact: forward when dst is below src (the forward copy of
 * memcpy), else backward. */
void *memmove(void *dst, const void *src, size_t n)
{
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    if (d == s || n == 0)
        return dst;
    if (d < s)
        return memcpy(dst, src, n);
    if (n >= 16) {
        for (; !is_aligned(d + n, 4); n--)
            d[n - 1] = s[n - 1];
        n -= copy_words_backward(d + n, s + n, n);
    }
    for (; n > 0; n--)
        d[n - 1] = s[n - 1];
    return dst;
}

/* Stores the low byte of c into n bytes. */
void *memset(void *dst, int c, size_t n)
{
    unsigned char *d = (unsigned char *)dst;
    unsigned char b = (unsigned char)c;
    size_t i = 0;
    if (n >= 16) {
        for (; !is_aligned(d + i, 4); i++)
            d[i] = b;
        word w = b * ONES;
        for (; n - i >= 16; i += 16) {
            ((word *)(d + i))[0] = w;
            ((word *)(d + i))[1] = w;
            ((word *)(d + i))[2] = w;
            ((word *)(d + i))[3] = w;
        }
        for (; n - i >= 4; i += 4)
            *(word *)(d + i) = w;
    }
    for (; i < n; i++)
        d[i] = b;
    return dst;
}

/* The count of leading bytes, in whole words, in which the aligned x and y agree; stops at the word that
 * differs, so the byte loop after it finds the first differing byte. */
static size_t equal_words(const unsigned char *x, const unsigned char *y, size_t n)
{
    size_t i = 0;
    for (; n - i >= 16; i += 16) {
        const word *a = (const word *)(x + i);
        const loose_word *b = (const loose_word *)(y + i);
        if (a[0] != b[0] || a[1] != b[1] || a[2] != b[2] || a[3] != b[3])
            break;
    }
    for (; n - i >= 4; i += 4) {
        if (*(const word *)(x + i) != *(const loose_word *)(y + i))
            break;
    }
    return i;
}

/* Byte difference at the first differing pair of the n bytes, 0 if none differs. */
int memcmp(const void *a, const void *b, size_t n)
{
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    size_t i = 0;
    if (n >= 16) {
        for (; !is_aligned(x + i, 4); i++) {
            if (x[i] != y[i])
                return x[i] - y[i];
        }
        i += equal_words(x + i, y + i, n - i);
    }
    for (; i < n; i++) {
        if (x[i] != y[i])
            return x[i] - y[i];
    }
    return 0;
}

/* A copy of s in a new heap block; null for an absent s or when the heap is exhausted. */
char *strdup(const char *s)
{
    if (is_absent(s))
        return nullptr;
    size_t n = strlen(s) + 1;
    char *copy = (char *)malloc(n);
    if (!copy)
        return nullptr;
    return (char *)memcpy(copy, s, n);
}

/* A copy of at most n bytes of s, terminated, in a new heap block. */
char *strndup(const char *s, size_t n)
{
    if (!s)
        return nullptr;
    size_t len = strnlen(s, n);
    char *copy = (char *)malloc(len + 1);
    if (!copy)
        return nullptr;
    memcpy(copy, s, len);
    copy[len] = 0;
    return copy;
}

static bool is_delim(char c, const char *delim)
{
    for (; *delim; delim++) {
        if (*delim == c)
            return true;
    }
    return false;
}

/* The next token of the string given last, split in place at one delimiter byte. */
char *strtok(char *s, const char *delim)
{
    static char *s_next;
    if (s)
        s_next = s;
    if (!s_next)
        return nullptr;
    char *p = s_next;
    bool has_delims = delim && delim[0];
    if (has_delims) {
        while (*p && is_delim(*p, delim))
            p++;
    }
    if (*p == 0) {
        s_next = nullptr;
        return nullptr;
    }
    if (!has_delims) {
        s_next = nullptr;
        return p;
    }
    char *end = p;
    while (*end && !is_delim(*end, delim))
        end++;
    if (*end == 0) {
        s_next = nullptr;
        return p;
    }
    *end = 0;
    s_next = end + 1;
    return p;
}

}
