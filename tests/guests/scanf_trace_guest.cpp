/* For the read-pattern test of fscanf: reads words with "%s" from stdin, or from the file named by argv[1], until
   fscanf gives -1, and prints each as "[word]" on its own line, then "pos N eof N". */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static unsigned int text_length(const char *s)
{
    unsigned int n = 0;
    while (s[n])
        n++;
    return n;
}

static void print_number(int v)
{
    char digits[12];
    int d = 0;
    unsigned int u = v < 0 ? 0u - (unsigned int)v : (unsigned int)v;
    do {
        digits[d++] = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0)
        write(1, "-", 1);
    while (d > 0)
        write(1, &digits[--d], 1);
}

int main(int argc, char **argv)
{
    FILE file = {};
    FILE *stream = stdin;
    if (argc > 1) {
        file.kind = STREAM_KIND_FD;
        file.fd = open(argv[1], 0, 0);
        if (file.fd < 0)
            return 3;
        stream = &file;
    }
    static char word[300];
    for (;;) {
        int got = fscanf(stream, "%s", word);
        if (got < 0)
            break;
        write(1, "[", 1);
        write(1, word, text_length(word));
        write(1, "]\n", 2);
    }
    write(1, "pos ", 4);
    print_number(stream->pos);
    write(1, " eof ", 5);
    print_number(stream->eof);
    write(1, "\n", 1);
    return 0;
}
