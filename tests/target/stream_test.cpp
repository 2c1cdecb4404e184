/* Streams: the standard streams, files read through the root, write-on-close files, memory streams, the
 * indicators and positioning, and the refusals. What reaches the kernel is checked by stream_trace_test. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tt.h"

extern "C" unsigned int g_heap_used;

static const char k_digits[] = "0123456789";

/* The whole of a host-side file as the kernel reads it back; -1 when it cannot be opened. */
static int slurp(const char *path, char *out, unsigned int room)
{
    int fd = open(path, O_RDONLY, 0);
    if (fd < 0)
        return -1;
    int total = 0;
    for (;;) {
        int got = read(fd, out + total, room - total);
        if (got <= 0)
            break;
        total += got;
    }
    close(fd);
    return total;
}

static void test_standard_streams()
{
    TT_CHECK(stdin == &g_stdin);
    TT_CHECK(stdout == &g_stdout);
    TT_CHECK(stderr == &g_stderr);
    TT_EQ(g_stdin.kind, STREAM_KIND_FD);
    TT_EQ(g_stdin.fd, 0);
    TT_EQ(g_stdout.fd, 1);
    TT_EQ(g_stderr.kind, STREAM_KIND_FD);
    TT_EQ(g_stderr.fd, 1);

    TT_CHECK(fopen(nullptr, "r") == stdin);
    TT_CHECK(fopen("-", "r") == stdin);
    TT_CHECK(fopen("-", "rb") == stdin);
    TT_CHECK(fopen("-", "w") == stdout);
    TT_CHECK(fopen(nullptr, "w+") == stdout);
    unsigned int used = g_heap_used;
    TT_CHECK(fopen("-", "a") == nullptr);
    TT_CHECK(fopen(nullptr, "") == nullptr);
    TT_CHECK(fopen("/x", "a") == nullptr);
    TT_CHECK(fopen("/x", "") == nullptr);
    TT_CHECK(fopen("/x", nullptr) == nullptr);
    TT_CHECK(fopen(nullptr, nullptr) == nullptr);
    TT_EQ(g_heap_used, used);

    TT_EQ(fclose(stdout), 0);
    TT_EQ(fclose(stdin), 0);
    TT_EQ(fclose(stderr), 0);
    TT_EQ(fclose(nullptr), -1);
    TT_EQ(g_stdout.kind, STREAM_KIND_FD);
    TT_EQ(puts("stream_test: stdout still works after fclose"), 0);
}

/* The standard-stream variables are read afresh at every call. */
static void test_reassigned_standard_streams()
{
    unlink("/stream_stdout.txt");
    FILE *f = fopen("/stream_stdout.txt", "w");
    FILE *saved = stdout;
    stdout = f;
    TT_CHECK(fopen("-", "w") == f);
    TT_EQ(puts("ab"), 0);
    TT_EQ(putchar(0x163), 0x163);
    TT_EQ(fclose(f), 0);
    TT_EQ(access("/stream_stdout.txt", 0), -1);
    TT_EQ(putchar('d'), 'd');
    stdout = saved;
    /* Once it is no longer a standard stream, fclose really stores it. */
    TT_EQ(fclose(f), 0);
    char back[8];
    TT_EQ(slurp("/stream_stdout.txt", back, sizeof back), 5);
    TT_MEM_EQ(back, "ab\ncd", 5);

    /* Whatever the variables point at is exempt from fclose: not stored, not closed. */
    unlink("/stream_stderr.txt");
    FILE *saved_err = stderr;
    FILE *file_out = fopen("/stream_stderr.txt", "w");
    stderr = file_out;
    TT_EQ(fputs("kept", stderr), 4);
    TT_EQ(fclose(file_out), 0);
    TT_EQ(access("/stream_stderr.txt", 0), -1);
    stderr = saved_err;
    TT_EQ(fclose(file_out), 0);
    TT_EQ(access("/stream_stderr.txt", 0), 0);

    FILE *saved_in = stdin;
    TT_CHECK(writefile("/stream_stdin.txt", "io", 2) >= 0);
    FILE *file_in = fopen("/stream_stdin.txt", "r");
    stdin = file_in;
    TT_EQ(getchar(), 'i');
    TT_EQ(fclose(file_in), 0);
    TT_EQ(getchar(), 'o');
    stdin = saved_in;
    TT_EQ(fclose(file_in), 0);

    stdin = nullptr;
    TT_EQ(getchar(), -1);
    TT_CHECK(fopen("-", "r") == nullptr);
    stdin = saved_in;
    stdout = nullptr;
    TT_EQ(puts("x"), -1);
    TT_EQ(putchar('x'), -1);
    stdout = saved;
}

static void test_descriptor_output()
{
    TT_EQ(fputs("stream_test: ", stdout), 13);
    TT_EQ(fputs("", stdout), 0);
    TT_EQ(fputc(0x141, stdout), 0x141);
    TT_EQ(fputc(-0x100 + 'B', stderr), -0x100 + 'B');
    TT_EQ(fwrite("cdef", 2, 2, stderr), 2);
    TT_EQ(puts(""), 0);
    TT_EQ(fflush(stdout), 0);
    TT_EQ(fflush(nullptr), 0);
    setbuf(stdout, nullptr);

    /* Only descriptor 1 takes stream output. */
    TT_EQ(fputs("abc", stdin), -1);
    TT_EQ(fputc('a', stdin), -1);
    TT_EQ(fwrite("abc", 1, 3, stdin), 0);
    FILE fd2 = {STREAM_KIND_FD, 2, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
    TT_EQ(fputs("abc", &fd2), -1);
    TT_EQ(fputc('a', &fd2), -1);

    TT_EQ(fputs(nullptr, stdout), -1);
    TT_EQ(fputs("abc", nullptr), -1);
    TT_EQ(fputc('a', nullptr), -1);
    TT_EQ(puts(nullptr), -1);
    TT_EQ(fwrite(nullptr, 1, 1, stdout), 0);
    TT_EQ(fwrite("a", 1, 1, nullptr), 0);
    TT_EQ(fwrite("a", 0, 1, stdout), 0);
    TT_EQ(fwrite("a", 1, 0, stdout), 0);
    /* 0x10000 * 0x10000 needs 33 bits: refused before anything is written. */
    TT_EQ(fwrite("a", 0x10000, 0x10000, stdout), 0);
    FILE bad_kind = {7, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
    TT_EQ(fputs("abc", &bad_kind), -1);
}

static void test_read_file()
{
    TT_CHECK(writefile("/stream_in.txt", k_digits, 10) >= 0);
    FILE *f = fopen("/stream_in.txt", "r");
    if (!TT_CHECK(f != nullptr))
        return;
    TT_EQ(f->kind, STREAM_KIND_FD);
    TT_CHECK(f->fd > 2);
    TT_CHECK(f->path == nullptr && f->buf == nullptr);
    TT_EQ(ftell(f), 0);

    TT_EQ(fgetc(f), '0');
    TT_EQ(ftell(f), 1);
    char buf[16] = {};
    TT_EQ(fread(buf, 3, 2, f), 2);
    TT_MEM_EQ(buf, "123456", 6);
    TT_EQ(ftell(f), 7);
    TT_EQ(feof(f), 0);

    /* 12 bytes asked, 10 there: two whole items, every byte stored, the end noted. */
    TT_EQ(fseek(f, 0, SEEK_SET), 0);
    char items[13] = {};
    TT_EQ(fread(items, 4, 3, f), 2);
    TT_MEM_EQ(items, k_digits, 10);
    TT_EQ(ftell(f), 10);
    TT_EQ(feof(f), 1);
    TT_EQ(ferror(f), 0);

    /* A successful read does not clear the indicator; fseek does. */
    TT_EQ(fseek(f, 8, SEEK_SET), 0);
    TT_EQ(feof(f), 0);
    TT_EQ(fgetc(f), '8');
    TT_EQ(fgetc(f), '9');
    TT_EQ(feof(f), 0);
    TT_EQ(fgetc(f), -1);
    TT_EQ(feof(f), 1);
    TT_EQ(ftell(f), 10);
    TT_EQ(fgetc(f), -1);
    TT_EQ(fread(buf, 1, 4, f), 0);
    TT_EQ(feof(f), 1);
    TT_EQ(fseek(f, 3, SEEK_SET), 0);
    TT_EQ(feof(f), 0);
    TT_EQ(ftell(f), 3);
    TT_EQ(fgetc(f), '3');

    /* A refused seek changes nothing. */
    f->eof = 1;
    TT_EQ(fseek(f, -1, SEEK_SET), -1);
    TT_EQ(ftell(f), 4);
    TT_EQ(feof(f), 1);

    f->err = 1;
    rewind(f);
    TT_EQ(ftell(f), 0);
    TT_EQ(feof(f), 0);
    TT_EQ(ferror(f), 0);
    TT_EQ(fgetc(f), '0');

    /* A file opened for reading takes no output. */
    TT_EQ(fputs("x", f), -1);
    TT_EQ(fputc('x', f), -1);
    TT_EQ(fwrite("x", 1, 1, f), 0);
    TT_EQ(fread(nullptr, 1, 1, f), 0);
    TT_EQ(fread(buf, 0, 1, f), 0);
    TT_EQ(fread(buf, 1, 0, f), 0);
    TT_EQ(fread(buf, 0x10000, 0x10000, f), 0);
    TT_EQ(ftell(f), 1);
    TT_EQ(fclose(f), 0);

    FILE *again = fopen("/stream_in.txt", "r+");
    TT_CHECK(again != nullptr);
    TT_EQ(fgetc(again), '0');
    TT_EQ(fclose(again), 0);

    unsigned int used = g_heap_used;
    TT_CHECK(fopen("/stream_missing.txt", "r") == nullptr);
    TT_EQ(g_heap_used, used);
}

static void test_write_on_close()
{
    const char *name = "/stream_out.txt";
    /* The scratch root outlives a run: start without the file. */
    unlink(name);
    FILE *f = fopen(name, "w");
    if (!TT_CHECK(f != nullptr))
        return;
    TT_EQ(f->kind, STREAM_KIND_WRITEFILE);
    TT_EQ(f->fd, 0);
    TT_CHECK(f->path != name);
    TT_STR_EQ(f->path, name);
    TT_CHECK(f->buf == nullptr && f->cap == 0 && f->out_buf == nullptr);
    TT_EQ(access(name, 0), -1);
    TT_EQ(fputs("hi", f), 2);
    TT_EQ(f->cap, 256);
    TT_EQ(access(name, 0), -1);
    TT_EQ(fclose(f), 0);
    char back[2048];
    TT_EQ(slurp(name, back, sizeof back), 2);
    TT_MEM_EQ(back, "hi", 2);

    /* Closed at once: stored empty, and an older content is replaced. */
    FILE *empty = fopen(name, "wb");
    TT_CHECK(empty != nullptr);
    TT_EQ(fclose(empty), 0);
    TT_EQ(slurp(name, back, sizeof back), 0);

    FILE *big = fopen("/stream_big.txt", "w");
    for (int i = 0; i < 1000; i++)
        fputc('a' + i % 26, big);
    TT_EQ(big->len, 1000);
    TT_EQ(big->cap, 1024);
    TT_EQ(fclose(big), 0);
    TT_EQ(slurp("/stream_big.txt", back, sizeof back), 1000);
    TT_EQ(back[0], 'a');
    TT_EQ(back[999], 'a' + 999 % 26);

    /* Write-on-close files are not readable streams and have no position. */
    FILE *w = fopen("/stream_w.txt", "w");
    TT_EQ(fgetc(w), -1);
    TT_EQ(fread(back, 1, 1, w), 0);
    TT_EQ(ftell(w), -1);
    TT_EQ(fseek(w, 0, SEEK_SET), -1);
    TT_EQ(feof(w), 0);
    TT_EQ(fclose(w), 0);

    /* A file the kernel cannot store makes fclose fail. */
    FILE *lost = fopen("/stream_no_such_dir/x.txt", "w");
    TT_EQ(fputs("x", lost), 1);
    TT_EQ(fclose(lost), -1);

    FILE *no_path = (FILE *)calloc(1, sizeof(FILE));
    no_path->kind = STREAM_KIND_WRITEFILE;
    TT_EQ(fclose(no_path), -1);
}

static void test_memstream()
{
    size_t n = 7;
    char *p = (char *)"untouched";
    TT_CHECK(open_memstream(nullptr, &n) == nullptr);
    TT_CHECK(open_memstream(&p, nullptr) == nullptr);
    TT_EQ(n, 7);
    TT_STR_EQ(p, "untouched");

    FILE *m = open_memstream(&p, &n);
    if (!TT_CHECK(m != nullptr))
        return;
    TT_EQ(m->kind, STREAM_KIND_MEMSTREAM);
    TT_CHECK(p == nullptr);
    TT_EQ(n, 0);
    TT_EQ(fputs("", m), 0);
    TT_CHECK(p == nullptr && m->buf == nullptr);

    TT_EQ(fputc('a', m), 'a');
    TT_EQ(fputc('b', m), 'b');
    TT_CHECK(p != nullptr);
    TT_MEM_EQ(p, "ab", 3);
    TT_EQ(n, 2);
    TT_EQ(m->cap, 256);

    /* 255 bytes and the zero byte fill 256 exactly; the 256th byte doubles it and moves the buffer. */
    char fill[300];
    for (int i = 0; i < 300; i++)
        fill[i] = (char)('A' + i % 23);
    TT_EQ(fwrite(fill, 1, 253, m), 253);
    TT_EQ(m->cap, 256);
    TT_EQ(n, 255);
    char *first = p;
    TT_EQ(fwrite(fill + 253, 1, 45, m), 45);
    TT_EQ(m->cap, 512);
    TT_EQ(n, 300);
    TT_CHECK(p != first);
    TT_MEM_EQ(p, "ab", 2);
    TT_MEM_EQ(p + 2, fill, 298);
    TT_EQ(p[300], 0);
    /* The old block is never reused: it still holds what it held. */
    TT_MEM_EQ(first, "ab", 2);

    TT_EQ(fwrite(fill, 3, 100, m), 100);
    TT_EQ(n, 600);
    TT_EQ(m->cap, 1024);

    TT_EQ(fgetc(m), -1);
    TT_EQ(fread(fill, 1, 1, m), 0);
    TT_EQ(ftell(m), -1);
    TT_EQ(fseek(m, 0, SEEK_SET), -1);
    m->err = 1;
    m->eof = 1;
    rewind(m);
    TT_EQ(ferror(m), 0);
    TT_EQ(feof(m), 0);
    TT_EQ(m->pos, 0);

    char *last = p;
    TT_EQ(fclose(m), 0);
    TT_CHECK(p == last);
    TT_EQ(n, 600);
    TT_MEM_EQ(p, "ab", 2);
    TT_EQ(p[600], 0);

    /* Without its two variables a memory stream still collects. */
    FILE *quiet = open_memstream(&p, &n);
    quiet->out_buf = nullptr;
    TT_EQ(fputs("xyz", quiet), 3);
    TT_MEM_EQ(quiet->buf, "xyz", 4);
    TT_EQ(n, 0);
    TT_EQ(fclose(quiet), 0);
}

/* Sizes that do not fit 32 bits fail the write and leave the record as it was. */
static void test_growth_overflow()
{
    char guard[4] = {'g', 'g', 'g', 'g'};
    char *p = nullptr;
    size_t n = 0;
    FILE near_top = {STREAM_KIND_MEMSTREAM, 0, nullptr, guard, 0xFFFFFFF8u, 0xFFFFFFFCu, &p, &n, 0, 0, 0};
    TT_EQ(fputs("0123456789", &near_top), -1);
    TT_EQ(near_top.len, 0xFFFFFFF8u);
    TT_EQ(near_top.cap, 0xFFFFFFFCu);
    TT_CHECK(near_top.buf == guard && p == nullptr && n == 0);

    FILE no_doubling = {STREAM_KIND_WRITEFILE, 0, nullptr, guard, 0x7FFFFFF0u, 0x80000000u, nullptr, nullptr,
                        0, 0, 0};
    TT_EQ(fwrite(k_digits, 1, 0x20, &no_doubling), 0);
    TT_EQ(no_doubling.len, 0x7FFFFFF0u);
    TT_EQ(no_doubling.cap, 0x80000000u);
    TT_CHECK(no_doubling.buf == guard);
    TT_MEM_EQ(guard, "gggg", 4);
}

static void test_indicators()
{
    TT_EQ(ferror(stdin), 0);
    TT_EQ(ferror(stdout), 0);
    TT_EQ(ferror(stderr), 0);
    TT_EQ(ferror(nullptr), 1);
    TT_EQ(feof(nullptr), 1);
    TT_EQ(feof(stdout), 0);

    /* The standard descriptors have no position and never seek. */
    TT_EQ(ftell(stdin), -1);
    TT_EQ(ftell(stdout), -1);
    TT_EQ(ftell(nullptr), -1);
    TT_EQ(fseek(stdin, 0, SEEK_SET), -1);
    TT_EQ(fseek(stdout, 0, SEEK_SET), -1);
    TT_EQ(fseek(nullptr, 0, SEEK_SET), -1);
    g_stdin.eof = 1;
    g_stdin.err = 1;
    g_stdin.pos = 5;
    rewind(stdin);
    TT_EQ(feof(stdin), 0);
    TT_EQ(ferror(stdin), 0);
    TT_EQ(g_stdin.pos, 5);
    g_stdin.pos = 0;
    rewind(nullptr);
    TT_EQ(fgetc(nullptr), -1);
    char byte = 0;
    TT_EQ(fread(&byte, 1, 1, nullptr), 0);
}

int main()
{
    test_standard_streams();
    test_reassigned_standard_streams();
    test_descriptor_output();
    test_read_file();
    test_write_on_close();
    test_memstream();
    test_growth_overflow();
    test_indicators();
    return tt_summary();
}
