/* Stream calls for tests/host/stream_trace_test.cpp, which checks what they ask of the kernel on tavik-run's
 * trace. argv[1] names the scenario; each writes nothing of its own, so that every event on the trace is one
 * that the stream calls made. Scenarios whose result matters return it as the exit status. */
#include <stdio.h>
#include <string.h>

static int bytes()
{
    fputc('x', stdout);
    putchar(0x141);
    puts("hello");
    fputs("abc", stdout);
    fwrite("wxyz", 2, 2, stdout);
    fputs("e", stderr);
    fputs("", stdout);
    puts("");
    fputs("abc", stdin);
    fputc('a', stdin);
    fwrite("abc", 1, 3, stdin);
    fwrite("abc", 0x10000, 0x10000, stdout);
    return 0;
}

static int reads()
{
    char buf[16];
    getchar();
    fgetc(stdin);
    fread(buf, 4, 3, stdin);
    getchar();
    fread(buf, 0x10000, 0x10000, stdin);
    fread(buf, 0, 4, stdin);
    return 0;
}

static int file()
{
    char buf[8];
    FILE *f = fopen("/in.txt", "r");
    if (!f)
        return 1;
    fgetc(f);
    fread(buf, 2, 2, f);
    fseek(f, 3, SEEK_SET);
    ftell(f);
    rewind(f);
    ftell(stdin);
    fseek(stdin, 0, SEEK_SET);
    rewind(stdin);
    rewind(stdout);
    int closed = fclose(f);
    if (fopen("/missing.txt", "r"))
        return 2;
    return closed;
}

static int write_on_close()
{
    FILE *f = fopen("/out.txt", "w");
    fputs("hi", f);
    int stored = fclose(f);
    FILE *empty = fopen("/empty.txt", "w");
    stored |= fclose(empty);
    FILE *kept = fopen("/kept.txt", "w");
    fputs("never stored", kept);
    char *p;
    size_t n;
    FILE *m = open_memstream(&p, &n);
    for (int i = 0; i < 300; i++)
        fputc('m', m);
    stored |= fclose(m);
    /* The process ends with kept.txt still open: its content is lost. */
    return stored;
}

static int long_fputs()
{
    return fputs("0123456789", stdout);
}

static int two_part_puts()
{
    return puts("hello");
}

/* Asks for more than one write may carry: 0x80000001 bytes from a small array. */
static int capped_fwrite()
{
    static char s_small[4];
    return fwrite(s_small, 1, 0x80000001u, stdout) == 0x80000001u ? 0 : 1;
}

/* A read reporting more than the one byte asked: -1, the end not noted, the count still added (7 when all hold). */
static int overcounted_fgetc()
{
    int c = fgetc(stdin);
    return (c == -1) | (feof(stdin) == 0) << 1 | (g_stdin.pos == 2) << 2;
}

static int one_putchar()
{
    return putchar('x');
}

static const struct {
    const char *name;
    int (*run)();
} g_scenarios[] = {
    {"bytes", bytes},
    {"reads", reads},
    {"file", file},
    {"write_on_close", write_on_close},
    {"long_fputs", long_fputs},
    {"puts", two_part_puts},
    {"capped_fwrite", capped_fwrite},
    {"fgetc_overcount", overcounted_fgetc},
    {"putchar", one_putchar},
};

int main(int argc, char **argv)
{
    if (argc < 2)
        return 100;
    for (const auto &s : g_scenarios) {
        if (strcmp(argv[1], s.name) == 0)
            return s.run();
    }
    return 101;
}
