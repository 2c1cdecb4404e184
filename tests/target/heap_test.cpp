/* The heap: block addresses and sizes from a fresh arena, exhaustion at exactly 1 MiB, errno, calloc's overflow
 * and realloc's copies. Run with the argument "whole", it checks one block filling the fresh arena instead. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "tt.h"

extern "C" unsigned char g_heap[];
extern "C" unsigned int g_heap_used;

#define ARENA 1048576u

static unsigned int header_of(void *p)
{
    return ((unsigned int *)p)[-1];
}

static unsigned char *at(unsigned int offset)
{
    return g_heap + offset;
}

static void test_fresh_blocks(void)
{
    TT_EQ(g_heap_used, 0);
    TT_EQ((unsigned long)g_heap % 8, 0);
    unsigned char *p = (unsigned char *)malloc(1);
    TT_CHECK(p == at(4));
    TT_EQ(header_of(p), 1);
    TT_EQ(g_heap_used, 8);
    TT_CHECK(malloc(1) == at(12));
    TT_EQ(g_heap_used, 16);

    const unsigned int sizes[][2] = {{0, 8}, {4, 8}, {5, 16}, {12, 16}, {13, 24}, {20, 24}, {21, 32}, {100, 104}};
    for (const auto &row : sizes) {
        unsigned int before = g_heap_used;
        void *q = malloc(row[0]);
        TT_CHECK(q == at(before + 4));
        TT_EQ(header_of(q), row[0] ? row[0] : 1);
        TT_EQ(g_heap_used - before, row[1]);
        TT_EQ((unsigned long)q % 8, 4);
    }
    void *q = malloc(8);
    free(q);
    TT_CHECK(malloc(8) != q);
    free(nullptr);
    TT_EQ(errno, 0);
}

static void test_calloc(void)
{
    unsigned int before = g_heap_used;
    void *z = calloc(0, 5);
    TT_CHECK(z == at(before + 4));
    TT_EQ(header_of(z), 1);
    z = calloc(5, 0);
    TT_CHECK(z == at(before + 12));
    TT_EQ(header_of(z), 1);
    TT_EQ(g_heap_used - before, 16);

    unsigned char *c = (unsigned char *)calloc(3, 4);
    TT_EQ(header_of(c), 12);
    TT_EQ(g_heap_used - before, 32);
    TT_MEM_EQ(c, "\0\0\0\0\0\0\0\0\0\0\0\0", 12);

    before = g_heap_used;
    TT_CHECK(calloc(65536, 65536) == nullptr);
    TT_EQ(errno, 12);
    errno = 0;
    TT_CHECK(calloc(0x80000000u, 2) == nullptr);
    TT_EQ(errno, 12);
    errno = 0;
    TT_CHECK(calloc(0xffffffffu, 0xffffffffu) == nullptr);
    TT_EQ(errno, 12);
    errno = 0;
    /* Fits 32 bits but not the arena. */
    TT_CHECK(calloc(0x10000, 0x10000 - 1) == nullptr);
    TT_EQ(errno, 12);
    TT_EQ(g_heap_used, before);
    errno = 0;
}

static void test_realloc(void)
{
    unsigned int before = g_heap_used;
    char *p = (char *)realloc(nullptr, 10);
    TT_CHECK(p == (char *)at(before + 4));
    TT_EQ(header_of(p), 10);
    TT_EQ(g_heap_used - before, 16);
    memcpy(p, "0123456789", 10);

    char *q = (char *)realloc(p, 2);
    TT_CHECK(q != p);
    TT_EQ(header_of(q), 2);
    TT_MEM_EQ(q, "01\0", 3);
    TT_MEM_EQ(p, "0123456789", 10);

    char *r = (char *)realloc(p, 10);
    TT_CHECK(r != p);
    TT_MEM_EQ(r, "0123456789", 10);

    /* Growing carries the old header's count only; the rest stays zero. */
    char *g = (char *)realloc(q, 20);
    TT_MEM_EQ(g, "01\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);

    char *one = (char *)realloc(r, 0);
    TT_EQ(header_of(one), 1);
    TT_MEM_EQ(one, "0\0\0", 4);
    TT_EQ(errno, 0);
}

/* The requests that can never fit are refused without the sum wrapping past 32 bits. */
static void test_huge_requests(void)
{
    unsigned int before = g_heap_used;
    const unsigned int huge[] = {0xfffffff8u, 0xfffffffcu, 0xfffffffdu, 0xffffffffu, 0x80000000u, ARENA, ARENA - 3};
    for (unsigned int size : huge) {
        errno = 0;
        TT_CHECK(malloc(size) == nullptr);
        TT_EQ(errno, 12);
        errno = 0;
        TT_CHECK(realloc(nullptr, size) == nullptr);
        TT_EQ(errno, 12);
        TT_EQ(g_heap_used, before);
    }
    errno = 0;
}

/* Fills the arena to its last byte; errno keeps 12 through later successes. */
static void test_exhaustion(void)
{
    char *keep = (char *)malloc(8);
    memcpy(keep, "survivor", 8);
    unsigned int room = ARENA - g_heap_used;
    TT_CHECK(malloc(room - 3) == nullptr);
    TT_EQ(errno, 12);
    TT_EQ(g_heap_used, ARENA - room);
    errno = 0;

    TT_CHECK(malloc(room - 4 - 16) != nullptr);
    TT_EQ(g_heap_used, ARENA - 16);
    TT_EQ(errno, 0);
    TT_CHECK(realloc(keep, 13) == nullptr);
    TT_EQ(errno, 12);
    TT_MEM_EQ(keep, "survivor", 8);
    TT_EQ(header_of(keep), 8);

    char *last = (char *)realloc(keep, 12);
    TT_CHECK(last == (char *)at(ARENA - 12));
    TT_MEM_EQ(last, "survivor", 8);
    TT_EQ(g_heap_used, ARENA);
    TT_EQ(errno, 12);

    const unsigned int sizes[] = {0, 1, 8};
    for (unsigned int size : sizes) {
        errno = 0;
        TT_CHECK(malloc(size) == nullptr);
        TT_EQ(errno, 12);
        errno = 0;
        TT_CHECK(calloc(1, size) == nullptr);
        TT_EQ(errno, 12);
    }
    TT_CHECK(calloc(0, 0) == nullptr);
    TT_CHECK(strdup("") == nullptr);
    TT_EQ(g_heap_used, ARENA);
}

static void test_whole_arena(void)
{
    TT_EQ(g_heap_used, 0);
    TT_CHECK(malloc(ARENA - 3) == nullptr);
    TT_EQ(errno, 12);
    TT_EQ(g_heap_used, 0);
    unsigned char *p = (unsigned char *)malloc(ARENA - 4);
    TT_CHECK(p == at(4));
    TT_EQ(g_heap_used, ARENA);
    TT_EQ(errno, 12);
    p[ARENA - 5] = 0x5a;
    TT_CHECK(malloc(1) == nullptr);
    TT_EQ(g_heap_used, ARENA);
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "whole") == 0) {
        test_whole_arena();
        return tt_summary();
    }
    test_fresh_blocks();
    test_calloc();
    test_realloc();
    test_huge_requests();
    test_exhaustion();
    return tt_summary();
}
