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

/* Shaped like real programs: many functions on many pages (calls and jumps between pages), table look-ups over
   tens of KiB, data-dependent branches, byte-wise pointer work. */
#define PAGE_APART __attribute__((noinline, aligned(4096)))

static unsigned g_crc[256];
static unsigned char g_text[48 * 1024];

PAGE_APART static void crc_table(void)
{
    for (unsigned n = 0; n < 256; ++n) {
        unsigned c = n;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        g_crc[n] = c;
    }
}

PAGE_APART static unsigned crc_of(const unsigned char *p, unsigned n)
{
    unsigned c = 0xffffffffu;
    while (n--)
        c = g_crc[(c ^ *p++) & 0xff] ^ (c >> 8);
    return ~c;
}

PAGE_APART static void fill_text(unsigned seed)
{
    for (unsigned i = 0; i < sizeof g_text; ++i) {
        seed = seed * 1103515245u + 12345u;
        g_text[i] = (unsigned char)("etaoin shrdlu\n"[(seed >> 16) % 14]);
    }
}

/* A hash of a text: table-driven CRC over 48 KiB, again and again. */
static unsigned hash_text(void)
{
    crc_table();
    unsigned sum = 0;
    for (unsigned pass = 0; pass < 120; ++pass) {
        fill_text(pass);
        sum += crc_of(g_text, sizeof g_text);
    }
    return sum;
}

/* A decoder: run-length pairs and a byte-substitution table, byte by byte through pointers. */
PAGE_APART static unsigned encode_runs(const unsigned char *in, unsigned n, unsigned char *out)
{
    unsigned char *o = out;
    for (unsigned i = 0; i < n;) {
        unsigned run = 1;
        while (i + run < n && in[i + run] == in[i] && run < 255)
            run++;
        *o++ = (unsigned char)run;
        *o++ = in[i];
        i += run;
    }
    return (unsigned)(o - out);
}

PAGE_APART static unsigned decode_runs(const unsigned char *in, unsigned n, unsigned char *out,
                                       const unsigned char *table)
{
    unsigned char *o = out;
    for (const unsigned char *p = in; p + 1 < in + n; p += 2)
        for (unsigned k = 0; k < p[0]; ++k)
            *o++ = table[p[1]];
    return (unsigned)(o - out);
}

static unsigned decode(void)
{
    static unsigned char table[256];
    for (unsigned i = 0; i < 256; ++i)
        table[i] = (unsigned char)(i * 7 + 3);
    unsigned sum = 0;
    for (unsigned pass = 0; pass < 60; ++pass) {
        fill_text(pass * 3);
        for (unsigned i = 0; i < sizeof g_text; i += 5 + pass % 7)
            g_text[i + 1 < sizeof g_text ? i + 1 : i] = g_text[i];
        unsigned n = encode_runs(g_text, sizeof g_text, g_src);
        sum += decode_runs(g_src, n, g_dst, table);
        sum += crc_of(g_dst, 4096);
    }
    return sum;
}

/* A sort: quicksort of 300,000 numbers, the comparison a function of its own on another page. */
PAGE_APART static int before(unsigned a, unsigned b) { return (a ^ 0x5a5a5a5au) < (b ^ 0x5a5a5a5au); }

PAGE_APART static void quicksort(unsigned *v, int lo, int hi)
{
    while (lo < hi) {
        unsigned pivot = v[(lo + hi) / 2];
        int i = lo, j = hi;
        while (i <= j) {
            while (before(v[i], pivot))
                i++;
            while (before(pivot, v[j]))
                j--;
            if (i <= j) {
                unsigned t = v[i];
                v[i++] = v[j];
                v[j--] = t;
            }
        }
        if (j - lo < hi - i) {
            quicksort(v, lo, j);
            lo = i;
        } else {
            quicksort(v, i, hi);
            hi = j;
        }
    }
}

static unsigned sort_numbers(void)
{
    unsigned *v = (unsigned *)g_src;
    unsigned x = 7, n = 300000;
    for (unsigned i = 0; i < n; ++i)
        v[i] = x = x * 1664525u + 1013904223u;
    quicksort(v, 0, (int)n - 1);
    unsigned sum = 0;
    for (unsigned i = 0; i < n; i += 97)
        sum = sum * 31 + v[i];
    return sum;
}

/* A small interpreter: a stack machine whose instructions are functions on pages of their own, dispatched by a
   data-dependent switch. */
enum { OP_PUSH, OP_ADD, OP_MUL, OP_XOR, OP_DUP, OP_SWAP, OP_JNZ, OP_DEC, OP_DROP, OP_END };
static unsigned g_stack[64];
PAGE_APART static unsigned op_add(unsigned sp) { g_stack[sp - 2] += g_stack[sp - 1]; return sp - 1; }
PAGE_APART static unsigned op_mul(unsigned sp) { g_stack[sp - 2] *= g_stack[sp - 1] | 1; return sp - 1; }
PAGE_APART static unsigned op_xor(unsigned sp) { g_stack[sp - 2] ^= g_stack[sp - 1] >> 3; return sp - 1; }
PAGE_APART static unsigned op_swap(unsigned sp)
{
    unsigned t = g_stack[sp - 1];
    g_stack[sp - 1] = g_stack[sp - 2];
    g_stack[sp - 2] = t;
    return sp;
}

static unsigned interpret(void)
{
    /* counter = 200000; acc = 1; loop: acc = (acc * counter + counter) ^ acc; counter -= 1 */
    static const int code[] = {OP_PUSH, 1,      OP_PUSH, 200000, OP_DUP,  OP_SWAP, OP_DROP, OP_SWAP, OP_DUP,
                               OP_PUSH, 3,      OP_MUL,  OP_SWAP, OP_DUP,  OP_PUSH, 5,      OP_ADD,  OP_XOR,
                               OP_ADD,  OP_SWAP, OP_DEC, OP_JNZ, 4,       OP_DROP, OP_END};
    unsigned sum = 0;
    for (unsigned round = 0; round < 12; ++round) {
        unsigned sp = 0;
        for (unsigned pc = 0; code[pc] != OP_END;) {
            switch (code[pc++]) {
                case OP_PUSH: g_stack[sp++] = (unsigned)code[pc++] + round; break;
                case OP_ADD: sp = op_add(sp); break;
                case OP_MUL: sp = op_mul(sp); break;
                case OP_XOR: sp = op_xor(sp); break;
                case OP_DUP: g_stack[sp] = g_stack[sp - 1]; sp++; break;
                case OP_SWAP: sp = op_swap(sp); break;
                case OP_DEC: g_stack[sp - 1]--; break;
                case OP_JNZ: pc = g_stack[sp - 1] ? (unsigned)code[pc] : pc + 1; break;
                case OP_DROP: sp--; break;
            }
            if (sp > 60) sp = 60;
        }
        sum += g_stack[0] + sp;
    }
    return sum;
}

static const struct {
    const char *name;
    unsigned (*run)(void);
} g_workloads[] = {
    {"hash", hash_text},             {"decode", decode},          {"sort", sort_numbers},
    {"interpreter", interpret},
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
