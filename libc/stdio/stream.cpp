/* stream: the FILE records, the standard streams, and unbuffered byte, block and string I/O. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "stdio_internal.h"

extern "C" {

FILE g_stdin = {STREAM_KIND_FD, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stdout = {STREAM_KIND_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
/* Standard error shares descriptor 1 with standard output: only descriptor 1 takes stream output. */
FILE g_stderr = {STREAM_KIND_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};

FILE *stdin = &g_stdin;
FILE *stdout = &g_stdout;
FILE *stderr = &g_stderr;

static const size_t k_write_chunk_max = 0x7FFFFFFFu;
static const size_t k_first_cap = 256;

/* Descriptor output: loop until the kernel has taken every byte, each call asking at most 0x7FFFFFFF. */
static int fd_write_all(const unsigned char *data, size_t n)
{
    while (n > 0) {
        size_t ask = n > k_write_chunk_max ? k_write_chunk_max : n;
        int done = write(1, data, ask);
        /* A count above what was asked cannot be trusted to advance by: treat it as a failure. */
        if (done <= 0 || (size_t)done > ask)
            return -1;
        data += done;
        n -= (size_t)done;
    }
    return 0;
}

/* Smallest capacity of the doubling series from cap (or 256) that holds need bytes; 0 when it overflows. */
static size_t grown_capacity(size_t cap, size_t need)
{
    size_t next = cap ? cap : k_first_cap;
    while (next < need) {
        if (next > SIZE_MAX / 2)
            return 0;
        next *= 2;
    }
    return next;
}

/* Collected output: append n bytes and keep the zero byte after them. A failed growth changes nothing. */
static int collect_bytes(FILE *stream, const void *data, size_t n)
{
    if (n > SIZE_MAX - 1 - stream->len)
        return -1;
    size_t need = stream->len + n + 1;
    if (stream->cap < need) {
        size_t cap = grown_capacity(stream->cap, need);
        if (cap == 0)
            return -1;
        char *buf = (char *)realloc(stream->buf, cap);
        if (!buf)
            return -1;
        stream->buf = buf;
        stream->cap = cap;
    }
    memcpy(stream->buf + stream->len, data, n);
    stream->len += n;
    stream->buf[stream->len] = '\0';
    if (stream->kind == STREAM_KIND_MEMSTREAM && stream->out_buf && stream->out_size) {
        *stream->out_buf = stream->buf;
        *stream->out_size = stream->len;
    }
    return 0;
}

int file_write_bytes(FILE *stream, const void *data, size_t n)
{
    if (!stream || !data)
        return -1;
    if (n == 0)
        return 0;
    if (stream->kind == STREAM_KIND_FD) {
        if (stream->fd != 1)
            return -1;
        return fd_write_all((const unsigned char *)data, n);
    }
    if (stream->kind == STREAM_KIND_MEMSTREAM || stream->kind == STREAM_KIND_WRITEFILE)
        return collect_bytes(stream, data, n);
    return -1;
}

static FILE *open_for_reading(const char *path)
{
    int fd = open(path, O_RDONLY, 0);
    if (fd < 0)
        return nullptr;
    FILE *stream = (FILE *)calloc(1, sizeof(FILE));
    if (!stream) {
        close(fd);
        return nullptr;
    }
    stream->kind = STREAM_KIND_FD;
    stream->fd = fd;
    return stream;
}

/* Nothing touches the file system until fclose stores the whole content. */
static FILE *open_for_writing(const char *path)
{
    FILE *stream = (FILE *)calloc(1, sizeof(FILE));
    if (!stream)
        return nullptr;
    stream->kind = STREAM_KIND_WRITEFILE;
    stream->path = strdup(path);
    if (!stream->path) {
        free(stream);
        return nullptr;
    }
    return stream;
}

/* Opens path for reading ('r') or write-on-close ('w'); a null or "-" path names a standard stream. */
FILE *fopen(const char *path, const char *mode)
{
    if (!mode)
        return nullptr;
    if (!path || strcmp(path, "-") == 0) {
        if (mode[0] == 'r')
            return stdin;
        if (mode[0] == 'w')
            return stdout;
        return nullptr;
    }
    if (mode[0] == 'r')
        return open_for_reading(path);
    if (mode[0] == 'w')
        return open_for_writing(path);
    return nullptr;
}

static int close_by_kind(FILE *stream)
{
    if (stream->kind == STREAM_KIND_FD)
        return stream->fd > 2 ? close(stream->fd) : 0;
    if (stream->kind == STREAM_KIND_WRITEFILE) {
        if (!stream->path)
            return -1;
        const char *data = stream->buf ? stream->buf : "";
        return writefile(stream->path, data, stream->len) < 0 ? -1 : 0;
    }
    return 0;
}

/* Stores a write-on-close file, closes a descriptor above 2 and releases the record; standard streams stay. */
int fclose(FILE *stream)
{
    if (!stream)
        return -1;
    if (stream == stdin || stream == stdout || stream == stderr)
        return 0;
    int result = close_by_kind(stream);
    /* A memory stream's buffer now belongs to the caller, through its two variables. */
    if (stream->buf && stream->kind != STREAM_KIND_MEMSTREAM)
        free(stream->buf);
    if (stream->path)
        free(stream->path);
    free(stream);
    return result;
}

/* A stream collecting into a heap buffer that *buf and *size follow after every write. */
FILE *open_memstream(char **buf, size_t *size)
{
    if (!buf || !size)
        return nullptr;
    FILE *stream = (FILE *)calloc(1, sizeof(FILE));
    if (!stream)
        return nullptr;
    stream->kind = STREAM_KIND_MEMSTREAM;
    stream->out_buf = buf;
    stream->out_size = size;
    *buf = nullptr;
    *size = 0;
    return stream;
}

/* One read of size*count bytes from a descriptor stream; whole items read. */
size_t fread(void *buf, size_t size, size_t count, FILE *stream)
{
    if (!buf || !stream || size == 0 || count == 0)
        return 0;
    if (stream->kind != STREAM_KIND_FD || count > SIZE_MAX / size)
        return 0;
    size_t total = size * count;
    int got = read(stream->fd, buf, total);
    if (got <= 0) {
        stream->eof = 1;
        return 0;
    }
    stream->pos += got;
    if ((size_t)got < total)
        stream->eof = 1;
    return (size_t)got / size;
}

/* Writes size*count bytes in one piece; count on success, else 0. */
size_t fwrite(const void *buf, size_t size, size_t count, FILE *stream)
{
    if (!buf || !stream || size == 0 || count == 0)
        return 0;
    if (count > SIZE_MAX / size)
        return 0;
    return file_write_bytes(stream, buf, size * count) == 0 ? count : 0;
}

/* Writes the low byte of c; returns c itself on success, -1 on failure. */
int fputc(int c, FILE *stream)
{
    unsigned char byte = (unsigned char)c;
    return file_write_bytes(stream, &byte, 1) == 0 ? c : -1;
}

/* fputc on the current stdout. */
int putchar(int c)
{
    return fputc(c, stdout);
}

/* The next byte of a descriptor stream, 0 to 255, or -1 at end of input or on error. */
int fgetc(FILE *stream)
{
    if (!stream || stream->kind != STREAM_KIND_FD)
        return -1;
    unsigned char byte = 0;
    int got = read(stream->fd, &byte, 1);
    if (got <= 0) {
        stream->eof = 1;
        return -1;
    }
    stream->pos += got;
    return got == 1 ? byte : -1;
}

/* fgetc on the current stdin. */
int getchar(void)
{
    return fgetc(stdin);
}

/* Writes the string without terminator or line feed; its length on success, -1 on failure. */
int fputs(const char *s, FILE *stream)
{
    if (!s)
        return -1;
    size_t n = strlen(s);
    return file_write_bytes(stream, s, n) == 0 ? (int)n : -1;
}

/* Writes the string and then a line feed, as two separate writes, to the current stdout; 0 or -1. */
int puts(const char *s)
{
    if (!s)
        return -1;
    FILE *out = stdout;
    if (file_write_bytes(out, s, strlen(s)) != 0)
        return -1;
    return file_write_bytes(out, "\n", 1) == 0 ? 0 : -1;
}

/* Streams are unbuffered: nothing to flush. */
int fflush(FILE *stream)
{
    (void)stream;
    return 0;
}

/* Streams are unbuffered: the buffer is not used. */
void setbuf(FILE *stream, char *buf)
{
    (void)stream;
    (void)buf;
}

/* Moves a file opened for reading; the standard descriptors never seek. */
int fseek(FILE *stream, long offset, int whence)
{
    if (!stream || stream->kind != STREAM_KIND_FD || stream->fd <= 2)
        return -1;
    int where = lseek(stream->fd, (int)offset, whence);
    if (where < 0)
        return -1;
    stream->eof = 0;
    stream->pos = where;
    return 0;
}

/* The position of a file opened for reading; -1 for any other stream. */
long ftell(FILE *stream)
{
    if (!stream || stream->kind != STREAM_KIND_FD || stream->fd <= 2)
        return -1;
    return stream->pos;
}

/* Back to the start of a file opened for reading; clears both indicators of any stream. */
void rewind(FILE *stream)
{
    if (!stream)
        return;
    if (stream->kind == STREAM_KIND_FD && stream->fd > 2) {
        int where = lseek(stream->fd, 0, SEEK_SET);
        if (where >= 0)
            stream->pos = where;
    }
    stream->err = 0;
    stream->eof = 0;
}

/* The end-of-file indicator; 1 for a null stream. */
int feof(FILE *stream)
{
    return stream ? stream->eof : 1;
}

/* The error indicator; 1 for a null stream. */
int ferror(FILE *stream)
{
    return stream ? stream->err : 1;
}

}
