/* stdio.h: unbuffered streams over descriptors, memory and write-on-close files; formatted output and input. */
#ifndef TAVIK_STDIO_H
#define TAVIK_STDIO_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STREAM_KIND_FD 1
#define STREAM_KIND_MEMSTREAM 2
#define STREAM_KIND_WRITEFILE 3

#define EOF (-1)
#ifndef SEEK_SET
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#endif

/* The stream record: eleven 32-bit fields. */
typedef struct FILE {
    int kind;          /* STREAM_KIND_*, fixed at creation */
    int fd;            /* descriptor of a STREAM_KIND_FD stream, else 0 */
    char *path;        /* own copy of the path of a STREAM_KIND_WRITEFILE stream */
    char *buf;         /* collected output followed by a zero byte (kinds 2 and 3) */
    unsigned int len;  /* bytes in buf, the zero byte not counted */
    unsigned int cap;  /* allocated size of buf */
    char **out_buf;    /* the caller's buffer variable of a memory stream */
    size_t *out_size;  /* the caller's size variable of a memory stream */
    int err;           /* error indicator */
    int pos;           /* position of a descriptor stream as this layer counts it */
    int eof;           /* end-of-file indicator */
} FILE;

extern FILE g_stdin;
extern FILE g_stdout;
extern FILE g_stderr;
extern FILE *stdin;
extern FILE *stdout;
extern FILE *stderr;

FILE *fopen(const char *path, const char *mode);
int fclose(FILE *stream);
FILE *open_memstream(char **buf, size_t *size);
size_t fread(void *buf, size_t size, size_t count, FILE *stream);
size_t fwrite(const void *buf, size_t size, size_t count, FILE *stream);
int fputc(int c, FILE *stream);
int putchar(int c);
int fgetc(FILE *stream);
int getchar(void);
int fputs(const char *s, FILE *stream);
int puts(const char *s);
int fflush(FILE *stream);
void setbuf(FILE *stream, char *buf);
int fseek(FILE *stream, long offset, int whence);
long ftell(FILE *stream);
void rewind(FILE *stream);
int feof(FILE *stream);
int ferror(FILE *stream);

int vsnprintf(char *dst, size_t size, const char *format, va_list ap);
int snprintf(char *dst, size_t size, const char *format, ...);
int vsprintf(char *dst, const char *format, va_list ap);
int sprintf(char *dst, const char *format, ...);

int vfprintf(FILE *stream, const char *format, va_list ap);
int fprintf(FILE *stream, const char *format, ...);
int printf(const char *format, ...);

int vsscanf(const char *text, const char *format, va_list ap);
int sscanf(const char *text, const char *format, ...);
int fscanf(FILE *stream, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
