/* Ends the process the way its first argument says, so that the exit status can be checked from outside:
 *   return N | exit N | abort | atexit N (registers a handler that would print, then returns N) */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int parse_int(const char *text)
{
    unsigned int value = 0;
    bool negative = *text == '-';
    for (text += negative; *text >= '0' && *text <= '9'; text++)
        value = value * 10 + (unsigned int)(*text - '0');
    return (int)(negative ? 0u - value : value);
}

static void loud_handler(void)
{
    write(1, "handler ran\n", 12);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    int status = argc > 2 ? parse_int(argv[2]) : 0;
    if (strcmp(argv[1], "return") == 0)
        return status;
    if (strcmp(argv[1], "exit") == 0)
        exit(status);
    if (strcmp(argv[1], "abort") == 0)
        abort();
    if (strcmp(argv[1], "atexit") == 0) {
        atexit(loud_handler);
        return status;
    }
    if (strcmp(argv[1], "argc") == 0)
        return argc;
    return 98;
}
