/* heap: blocks carved in turn from one fixed arena in the image; nothing is ever given back. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

#define HEAP_SIZE 1048576u

alignas(8) unsigned char g_heap[HEAP_SIZE];
unsigned int g_heap_used;

/* The header word lives in the byte array of the arena. */
typedef unsigned int __attribute__((may_alias)) heap_word;

/* Carves a block with a header word holding the request; null with errno 12 when the arena cannot hold it.
 * The room left is a multiple of 8, so the rounded block fits exactly when request + 4 does; comparing the
 * request with the room less 4 never wraps, whatever the request. */
static void *heap_carve(size_t request)
{
    if (request == 0)
        request = 1;
    unsigned int room = HEAP_SIZE - g_heap_used;
    if (room < 8 || request > room - 4) {
        errno = ENOMEM;
        return nullptr;
    }
    unsigned char *block = g_heap + g_heap_used;
    *(heap_word *)block = request;
    g_heap_used += (request + 4 + 7) & ~7u;
    return block + 4;
}

/* A new block of size bytes. */
void *malloc(size_t size)
{
    return heap_carve(size);
}

/* A new block of count * size zero bytes; null with errno 12 when the product needs more than 32 bits. */
void *calloc(size_t count, size_t size)
{
    if (count == 0 || size == 0)
        return heap_carve(1);
    if (count > 0xffffffffu / size) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t total = count * size;
    void *block = heap_carve(total);
    if (!block)
        return nullptr;
    return memset(block, 0, total);
}

/* A new block of size bytes holding the first bytes of old; old stays valid, also when this fails. */
void *realloc(void *old, size_t size)
{
    unsigned char *block = (unsigned char *)heap_carve(size);
    if (!block || !old)
        return block;
    unsigned int old_size = ((const heap_word *)old)[-1];
    unsigned int new_size = ((const heap_word *)block)[-1];
    return memcpy(block, old, old_size < new_size ? old_size : new_size);
}

/* Gives nothing back: blocks live until the process ends. */
void free(void *ptr)
{
    (void)ptr;
}

}
