/* Benchmark guest of both formatters: format_engines ENGINE CASE COUNT formats case CASE COUNT times with
 * ENGINE (buffer: snprintf into an array; memory: fprintf into a memory stream; stdout: printf) and then writes
 * "chars N" with the characters one call produced, so the runner can turn instruction counts into a cost per
 * output character. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static char g_array[256];

static unsigned int parse_count(const char *s)
{
    unsigned int v = 0;
    while (*s >= '0' && *s <= '9')
        v = v * 10u + (unsigned int)(*s++ - '0');
    return v;
}

static int format_buffer(int which)
{
    switch (which) {
    case 0:
        return snprintf(g_array, sizeof g_array, "%d", -123456);
    case 1:
        return snprintf(g_array, sizeof g_array, "%08x", 0xBEEF);
    case 2:
        return snprintf(g_array, sizeof g_array, "%-10s|", "name");
    default:
        return snprintf(g_array, sizeof g_array, "%s=%u\n", "key", 4096);
    }
}

static int format_stream(FILE *stream, int which)
{
    switch (which) {
    case 0:
        return fprintf(stream, "%d", -123456);
    case 1:
        return fprintf(stream, "%08x", 0xBEEF);
    case 2:
        return fprintf(stream, "%-10s|", "name");
    default:
        return fprintf(stream, "%s=%u\n", "key", 4096);
    }
}

static void report(int chars)
{
    char line[32];
    int n = snprintf(line, sizeof line, "chars %d\n", chars);
    write(2, line, (unsigned int)n);
}

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    int which = (int)parse_count(argv[2]);
    unsigned int count = parse_count(argv[3]);
    int chars = 0;
    if (!strcmp(argv[1], "buffer")) {
        for (unsigned int i = 0; i < count; i++)
            chars = format_buffer(which);
    } else if (!strcmp(argv[1], "memory")) {
        char *buf = nullptr;
        size_t len = 0;
        FILE *m = open_memstream(&buf, &len);
        for (unsigned int i = 0; i < count; i++)
            chars = format_stream(m, which);
        fclose(m);
    } else {
        for (unsigned int i = 0; i < count; i++)
            chars = format_stream(stdout, which);
    }
    report(chars);
    return 0;
}
