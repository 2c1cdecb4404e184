/* Streams when the heap runs out: failed growth changes nothing, and a failed open leaves nothing behind.
 * stream_trace_test also checks on the trace that the descriptor of the failed fopen is closed again. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tt.h"

extern "C" unsigned int g_heap_used;

static const unsigned int k_heap_size = 1048576;

/* Takes the arena down to exactly room free bytes (a multiple of 8). */
static void leave_room(unsigned int room)
{
    malloc(k_heap_size - g_heap_used - room - 4);
    TT_EQ(k_heap_size - g_heap_used, room);
}

int main()
{
    TT_CHECK(writefile("/nomem_in.txt", "xyz", 3) >= 0);
    char *p = nullptr;
    size_t n = 0;
    FILE *m = open_memstream(&p, &n);
    TT_EQ(fputs("0123456789", m), 10);
    char *first = p;

    /* Growth to 512 needs a block of 520 bytes: the write fails whole. */
    leave_room(512);
    char fill[300];
    memset(fill, 'f', sizeof fill);
    TT_EQ(fwrite(fill, 1, 300, m), 0);
    TT_EQ(errno, 12);
    TT_EQ(m->len, 10);
    TT_EQ(m->cap, 256);
    TT_CHECK(m->buf == first && p == first);
    TT_EQ(n, 10);
    TT_STR_EQ(p, "0123456789");
    /* What still fits the buffer needs no memory. */
    TT_EQ(fwrite(fill, 1, 245, m), 245);
    TT_EQ(n, 255);
    TT_EQ(fputc('x', m), -1);
    TT_EQ(n, 255);
    TT_EQ(p[255], 0);

    /* Room for the record but not for the path copy. */
    leave_room(48);
    TT_CHECK(fopen("/nomem_out.txt", "w") == nullptr);
    TT_EQ(access("/nomem_out.txt", 0), -1);

    /* No room at all: the file is opened, then closed again (seen on the trace). */
    TT_EQ(g_heap_used, k_heap_size);
    TT_CHECK(fopen("/nomem_in.txt", "r") == nullptr);
    char *q = (char *)"kept";
    size_t k = 5;
    TT_CHECK(open_memstream(&q, &k) == nullptr);
    TT_STR_EQ(q, "kept");
    TT_EQ(k, 5);

    /* The standard streams need nothing from the heap. */
    TT_CHECK(fopen(nullptr, "r") == stdin);
    TT_EQ(fputs("stream_nomem_test: ", stdout), 19);
    TT_EQ(fclose(m), 0);
    return tt_summary();
}
