/* Formats each engine reads as the program expects: both drivers compile this with -Wall -Werror (no false
 * warning from the format checks). Never run. */
#include <stdio.h>

void formats_ok(char *b, long long big, unsigned long n, const char *s)
{
    printf("%5d|%lld|%.3s|%8p|%x|%c|%%\n", 42, big, s, (void *)b, 255u, 'A');
    fprintf(stdout, "%*d %.*s %llu %lu\n", 4, 7, 2, "abc", 5ull, n);
    snprintf(b, 16, "%-5d%+d%08.3x%X%s%zu%ld", -1, 2, 3u, 4u, s, sizeof b, 6L);
    sprintf(b, "%c%5s%p", 'x', "ab", (void *)0);
}
