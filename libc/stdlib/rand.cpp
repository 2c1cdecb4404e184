/* rand: the pseudo-random generator, a 32-bit linear congruential state that seeds itself once when unseeded. */
#include <stdlib.h>

extern "C" {

/* The heap's counter: only its address is used, as one more input of the self-seeding. */
extern unsigned int g_heap_used;

unsigned int g_rand_state = 1;
unsigned int g_rand_seeded = 0;

static unsigned int rand_step(void)
{
    g_rand_state = g_rand_state * 1103515245u + 12345u;
    return (g_rand_state >> 16) & 0x7FFFu;
}

/* Restarts the sequence from seed; 0 counts as 1. */
void srand(unsigned int seed)
{
    g_rand_seeded = 1;
    g_rand_state = seed ? seed : 1;
}

/* The time-stamp counter, the stack address and the data address differ from run to run and from image to
   image; the integer hash spreads those few changing bits over the whole seed. */
static unsigned int rand_self_seed(unsigned int local_address)
{
    unsigned int lo;
    unsigned int hi;
    __asm__ volatile("rdtsc" : "=a"(lo), "=d"(hi));
    unsigned int x = local_address ^ (unsigned int)&g_heap_used ^ (hi * 1664525u) ^ lo;
    x ^= 0x9E3779B9u;
    x = (x ^ (x >> 16)) * 0x7FEB352Du;
    x = (x ^ (x >> 15)) * 0x846CA68Bu;
    x ^= x >> 16;
    return x ? x : 1;
}

/* The next value in 0..32767; the first call of an unseeded process seeds the generator itself. */
int rand(void)
{
    if (!g_rand_seeded) {
        unsigned int local = 0;
        g_rand_state = rand_self_seed((unsigned int)&local);
        g_rand_seeded = 1;
    }
    return (int)rand_step();
}

}
