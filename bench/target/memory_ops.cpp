/* Benchmark guest of the memory functions: runs one function, or the plain byte loop doing its job, over one
 * buffer size a number of times. Counted with tavik-run --count-insns; the mode "base" does all but the call.
 * Usage: bench_memory_ops memcpy|memmove|memset|memcmp|strlen SIZE REPS lib|byte|base */
#include <string.h>
#include <unistd.h>

#define MAX_SIZE 65536

alignas(16) static unsigned char g_a[MAX_SIZE + 64];
alignas(16) static unsigned char g_b[MAX_SIZE + 64];
static volatile unsigned int g_sink;

/* The byte loops are compiled with the library's own flags; noipa also keeps the compiler from dropping or
 * specialising calls whose results it could know. */
__attribute__((noinline, noipa)) static void byte_memcpy(unsigned char *d, const unsigned char *s, size_t n)
{
    for (size_t i = 0; i < n; i++)
        d[i] = s[i];
}

__attribute__((noinline, noipa)) static void byte_memmove(unsigned char *d, const unsigned char *s, size_t n)
{
    while (n > 0) {
        n--;
        d[n] = s[n];
    }
}

__attribute__((noinline, noipa)) static void byte_memset(unsigned char *d, int c, size_t n)
{
    for (size_t i = 0; i < n; i++)
        d[i] = (unsigned char)c;
}

__attribute__((noinline, noipa)) static int byte_memcmp(const unsigned char *a, const unsigned char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i])
            return a[i] - b[i];
    }
    return 0;
}

__attribute__((noinline, noipa)) static size_t byte_strlen(const char *s)
{
    size_t n = 0;
    while (s[n])
        n++;
    return n;
}

static unsigned int parse_count(const char *text)
{
    unsigned int v = 0;
    for (; *text >= '0' && *text <= '9'; text++)
        v = v * 10 + (unsigned int)(*text - '0');
    return v;
}

static int usage(void)
{
    const char text[] = "usage: bench_memory_ops memcpy|memmove|memset|memcmp|strlen SIZE REPS lib|byte|base\n";
    write(1, text, sizeof text - 1);
    return 2;
}

enum { RUN_BASE, RUN_LIB, RUN_BYTE };

/* reps calls of the function named by op, as the library does it or as the byte loop does; RUN_BASE goes through
 * the same loop without the call. Returns 0, or 2 for an unknown name. */
static int run(const char *op, int mode, size_t n, unsigned int reps)
{
    unsigned int sink = 0;
    /* Destination above source for memmove: the backward copy, the one memcpy cannot do. */
    unsigned char *a = g_a;
    unsigned char *b = g_b;
    unsigned char *lo = a < b ? a : b;
    unsigned char *hi = a < b ? b : a;
/* The loop of one operation: the library's call, the byte loop's, or neither. */
#define BENCH_LOOP(lib_call, byte_call)       \
    for (unsigned int r = 0; r < reps; r++) { \
        if (mode == RUN_LIB)                  \
            lib_call;                         \
        else if (mode == RUN_BYTE)            \
            byte_call;                        \
    }
    if (strcmp(op, "memcpy") == 0)
        BENCH_LOOP(memcpy(g_b, g_a, n), byte_memcpy(g_b, g_a, n))
    else if (strcmp(op, "memmove") == 0)
        BENCH_LOOP(memmove(hi, lo, n), byte_memmove(hi, lo, n))
    else if (strcmp(op, "memset") == 0)
        BENCH_LOOP(memset(g_b, 'z', n), byte_memset(g_b, 'z', n))
    else if (strcmp(op, "memcmp") == 0)
        BENCH_LOOP(sink += (unsigned int)memcmp(g_a, g_b, n), sink += (unsigned int)byte_memcmp(g_a, g_b, n))
    else if (strcmp(op, "strlen") == 0)
        BENCH_LOOP(sink += strlen((const char *)g_a), sink += byte_strlen((const char *)g_a))
    else
        return usage();
#undef BENCH_LOOP
    g_sink = sink;
    return 0;
}

static int parse_mode(const char *text)
{
    if (strcmp(text, "lib") == 0)
        return RUN_LIB;
    if (strcmp(text, "byte") == 0)
        return RUN_BYTE;
    return strcmp(text, "base") == 0 ? RUN_BASE : -1;
}

int main(int argc, char **argv)
{
    if (argc != 5)
        return usage();
    size_t n = parse_count(argv[2]);
    int mode = parse_mode(argv[4]);
    if (n > MAX_SIZE || mode < 0)
        return usage();
    /* Text bytes for strlen, ended after n bytes; equal buffers, so memcmp reads all n bytes. */
    for (size_t i = 0; i < n; i++) {
        g_a[i] = (unsigned char)('a' + i % 26);
        g_b[i] = g_a[i];
    }
    g_a[n] = 0;
    return run(argv[1], mode, n, parse_count(argv[3]));
}
