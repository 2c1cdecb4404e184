/* Format strings the library's engines read otherwise than the program seems to expect: compiled with -Wall by
 * both drivers, each line must draw its warning (run.cmake checks them). Never run. */
#include <stdio.h>

void formats(char *b, long long big)
{
    printf("%d\n", 1.5);                       /* a double for %d */
    printf("[%-10s|%d]\n", "ab", 7);           /* the stream printf takes no flags */
    printf("%X\n", 255);                       /* nor %X */
    printf("%c", 1, 2, 3);                     /* the 0xFF sequence */
    snprintf(b, 8, "%-8s|%lld", "x", big);    /* no padding on the right; ll takes one word */
    snprintf(b, 8, "%f", 1.0);                 /* no floating point */
}
