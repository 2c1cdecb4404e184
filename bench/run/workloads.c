/* workloads: the work commands really do, one workload per run (argv[1]). Built from this one source twice, as a
   tavik image and as a Linux i386 program on the same tavik library (linux_abi.S swaps in the two kernel calls
   it makes), so that tavik-run and qemu-i386 run the very same instructions. Each prints one checksum line. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MIB (1024u * 1024u)

static unsigned char g_src[64 * MIB];
static unsigned char g_dst[64 * MIB];
static unsigned g_table[1u << 16];

static unsigned register_loop(void)
{
    unsigned x = 1, sum = 0;
    for (unsigned i = 0; i < 100000000u; ++i) {
        x = x * 1103515245u + 12345u;
        sum += (x >> 16) ^ i;
        if ((sum & 0xff) == 7)
            sum += i >> 3;
    }
    return sum;
}

/* A local variable the compiler must keep in memory: one stack load and one stack store per step. */
static unsigned stack_loop(void)
{
    volatile unsigned cell[4] = {1, 2, 3, 4};
    for (unsigned i = 0; i < 20000000u; ++i)
        cell[i & 3] = cell[i & 3] + i;
    return cell[0] ^ cell[1] ^ cell[2] ^ cell[3];
}

static unsigned bss_stores(void)
{
    volatile unsigned *table = g_table;
    for (unsigned i = 0; i < 40000000u; ++i)
        table[i & 0xffff] = i;
    return table[12345];
}

static unsigned memset_64(void)
{
    unsigned sum = 0;
    for (unsigned pass = 0; pass < 4; ++pass) {
        memset(g_dst, (int)pass + 1, sizeof g_dst);
        sum += g_dst[pass * MIB + 17];
    }
    return sum;
}

static unsigned memcpy_64(void)
{
    unsigned sum = 0;
    memset(g_src, 7, sizeof g_src);
    for (unsigned pass = 0; pass < 4; ++pass) {
        g_src[pass] = (unsigned char)pass;
        memcpy(g_dst, g_src, sizeof g_dst);
        sum += g_dst[pass] + g_dst[sizeof g_dst - 1];
    }
    return sum;
}

static unsigned strtold_many(void)
{
    static const char *const texts[8] = {
        "3.14159265358979323846", "1e300", "-2.5e-10", "123456789.987654321",
        "  42", "6.02214076e23", "0.000001", "-1.7976931348623157e308"};
    unsigned sum = 0;
    for (unsigned i = 0; i < 400000u; ++i) {
        char *end;
        long double v = strtold(texts[i & 7], &end);
        sum += (unsigned)(end - texts[i & 7]) + (v > 1.0L ? 1u : 0u);
    }
    return sum;
}

static unsigned snprintf_many(void)
{
    static const char *const names[4] = {"alpha", "beta", "gamma", "delta"};
    char line[64];
    unsigned sum = 0;
    for (unsigned i = 0; i < 500000u; ++i)
        sum += (unsigned)snprintf(line, sizeof line, "%d:%s:%x|%8s|%05u", (int)i - 250000, names[i & 3],
                                  i * 7u, "ab", i);
    return sum + (unsigned char)line[3];
}

static unsigned puts_lines(void)
{
    for (unsigned i = 0; i < 100000u; ++i)
        puts("a line of a command's ordinary output");
    return 100000u;
}

static const struct {
    const char *name;
    unsigned (*run)(void);
} g_workloads[] = {
    {"register-loop", register_loop}, {"stack-loop", stack_loop}, {"bss-stores", bss_stores},
    {"memset", memset_64},           {"memcpy", memcpy_64},       {"strtold", strtold_many},
    {"snprintf", snprintf_many},     {"puts", puts_lines},
};

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "";
    unsigned i = 0;
    while (i < sizeof g_workloads / sizeof g_workloads[0] && strcmp(name, g_workloads[i].name))
        i++;
    if (i == sizeof g_workloads / sizeof g_workloads[0])
        return 2;
    unsigned sum = g_workloads[i].run();
    char line[16];
    snprintf(line, sizeof line, "%u", sum);
    /* puts' lines went to /dev/null in the benchmark; the checksum goes there too and is compared apart. */
    puts(line);
    return 0;
}
