/* The guest of the stream formatter's trace test: argv[1] names one call of the formatter, whose result becomes the
 * exit status, so the host sees both the writes it made and what it returned. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* A memory stream's collected bytes, sent on with one write of their own. */
static int memory_stream_case(void)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *m = open_memstream(&buf, &len);
    int n = fprintf(m, "%c%d", 65, 5);
    fclose(m);
    write(1, buf, len);
    return n;
}

static int run(const char *name)
{
    if (!strcmp(name, "hi"))
        return printf("hi %d!", 42);
    if (!strcmp(name, "width"))
        return printf("%5d|", 42);
    if (!strcmp(name, "negative"))
        return printf("%8.3d", -7);
    if (!strcmp(name, "pointer"))
        return printf("%12.8p", 0x1234);
    if (!strcmp(name, "long"))
        return printf("%llx", 0x1122334455667788ull);
    if (!strcmp(name, "string"))
        return printf("%5.2s|", "abc");
    if (!strcmp(name, "empty_string"))
        return printf("%s", "");
    if (!strcmp(name, "unrecognised"))
        return printf("%X%-5d", 255, 1);
    if (!strcmp(name, "hello"))
        return printf("hello\n");
    if (!strcmp(name, "failure"))
        return printf("ab%d", 5);
    if (!strcmp(name, "marker"))
        return printf("%c", 1, 2, 3);
    if (!strcmp(name, "marker_then_text"))
        return printf("%cX%d", 1, 2, 3, 9);
    if (!strcmp(name, "marker_fails"))
        return printf("%cX", 1, 2, 3);
    if (!strcmp(name, "marker_on_stderr"))
        return fprintf(stderr, "%c", 0x107, 0x208, 0x309);
    if (!strcmp(name, "late_c"))
        return printf("A%c", 66);
    if (!strcmp(name, "memory_stream"))
        return memory_stream_case();
    return -100;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return -100;
    return run(argv[1]);
}
