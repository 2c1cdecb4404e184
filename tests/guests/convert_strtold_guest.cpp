/* For the differential test of strtold: converts each line of stdin (or each argument, when there are any) and
   prints the ten bytes of the result in memory order as hex, a space and the end pointer's offset. */
#include <stdlib.h>
#include <unistd.h>

#include "put_decimal.h"

static char g_line[16384];

static void print_result(const char *text)
{
    static const char hex[] = "0123456789abcdef";
    char *end = nullptr;
    long double value = strtold(text, &end);
    const unsigned char *bytes = (const unsigned char *)&value;
    char out[40];
    int n = 0;
    for (int i = 0; i < 10; i++) {
        out[n++] = hex[bytes[i] >> 4];
        out[n++] = hex[bytes[i] & 15];
    }
    out[n++] = ' ';
    n += put_decimal(out + n, (unsigned int)(end - text));
    out[n++] = '\n';
    write(1, out, (unsigned int)n);
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++)
        print_result(argv[i]);
    if (argc > 1)
        return 0;
    static char chunk[4096];
    unsigned int len = 0;
    for (;;) {
        int got = read(0, chunk, sizeof chunk);
        if (got <= 0)
            return len ? 2 : 0;
        for (int i = 0; i < got; i++) {
            if (chunk[i] != '\n') {
                if (len + 1 >= sizeof g_line)
                    return 2;
                g_line[len++] = chunk[i];
                continue;
            }
            g_line[len] = '\0';
            print_result(g_line);
            len = 0;
        }
    }
}
