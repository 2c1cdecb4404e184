/* undefined: one kind of undefined behaviour, picked by argv[1], in a program built with -fsanitize=undefined. */
#include <string.h>

static int g_table[4];

int main(int argc, char **argv)
{
    const char *what = argc > 1 ? argv[1] : "";
    volatile int big = 2147483647, n = 4, shift = 32, zero = 0;
    volatile int r = 0;
    if (!strcmp(what, "overflow"))
        r = big + 1; /* the overflow */
    else if (!strcmp(what, "shift"))
        r = 1 << shift; /* the shift */
    else if (!strcmp(what, "index"))
        r = g_table[n]; /* the index */
    else if (!strcmp(what, "misaligned"))
        r = *(int *)((char *)g_table + n - 3); /* the misaligned load */
    else if (!strcmp(what, "twice"))
        for (int i = 1; i <= 3; ++i)
            r = big + i; /* one site, three times */
    else if (!strcmp(what, "unreachable"))
        __builtin_unreachable(); /* the unreachable point */
    else if (!strcmp(what, "divide"))
        r = 5 / zero; /* the division */
    (void)r;
    return 0;
}
