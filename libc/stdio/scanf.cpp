/* scanf: formatted input from strings (vsscanf, sscanf) and one word at a time from descriptor streams (fscanf). */
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

extern "C" {

/* fscanf keeps at most this many bytes of a word, plus its terminator. */
static const unsigned int scan_word_max = 255;

static bool scan_is_format_space(char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

static bool scan_is_blank(char c)
{
    return c == ' ' || c == '\t';
}

static bool scan_ends_word(char c)
{
    return c == '\0' || c == ' ' || c == '\t' || c == '\n';
}

static bool scan_is_separator(unsigned char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

/* The value of c as a digit of base (8, 10 or 16), or -1. */
static int scan_digit(char c, unsigned int base)
{
    if (c >= '0' && c <= '9')
        return (unsigned int)(c - '0') < base ? c - '0' : -1;
    if (base != 16)
        return -1;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* %d, %i, %x and %X: reads an optionally signed number from *in into *value; false ends the scan. */
static bool scan_integer(const char **in, char conversion, unsigned int *value)
{
    const char *p = *in;
    while (scan_is_blank(*p))
        p++;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        p++;
    }
    unsigned int base = (conversion == 'x' || conversion == 'X') ? 16 : 10;
    if (conversion == 'i' && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        base = 16;
    } else if (conversion == 'i' && p[0] == '0') {
        base = 8;
    }
    unsigned int result = 0;
    const char *digits = p;
    for (int digit = scan_digit(*p, base); digit >= 0; digit = scan_digit(*++p, base))
        result = result * base + (unsigned int)digit;
    if (p == digits)
        return false;
    *in = p;
    *value = negative ? 0u - result : result;
    return true;
}

/* %u: unsigned decimal digits, no sign; false ends the scan. */
static bool scan_unsigned(const char **in, unsigned int *value)
{
    const char *p = *in;
    while (scan_is_blank(*p))
        p++;
    if (*p < '0' || *p > '9')
        return false;
    unsigned int result = 0;
    while (*p >= '0' && *p <= '9') {
        result = result * 10u + (unsigned int)(*p - '0');
        p++;
    }
    *in = p;
    *value = result;
    return true;
}

/* %s: copies a word of at most width characters to dst (null: skipped) and terminates it. The width is the
   caller's only means to keep a long word from running past its array, so it bounds both what is stored and
   what is consumed; the rest of the word stays in the input. False ends the scan. */
static bool scan_word(const char **in, char *dst, unsigned int width)
{
    const char *p = *in;
    while (scan_is_blank(*p))
        p++;
    if (*p == '\0')
        return false;
    unsigned int n = 0;
    while (n < width && !scan_ends_word(p[n])) {
        if (dst)
            dst[n] = p[n];
        n++;
    }
    if (dst)
        dst[n] = '\0';
    *in = p + n;
    return true;
}

/* Reads a field width, saturating rather than wrapping so that a huge width cannot turn into a small one. */
static unsigned int scan_width(const char **format)
{
    const char *f = *format;
    if (*f < '0' || *f > '9')
        return 0xFFFFFFFFu;
    unsigned int width = 0;
    while (*f >= '0' && *f <= '9') {
        unsigned int digit = (unsigned int)(*f - '0');
        width = width > (0xFFFFFFFEu - digit) / 10u ? 0xFFFFFFFEu : width * 10u + digit;
        f++;
    }
    *format = f;
    return width;
}

/* One directive, its '%' already behind *f: reads the flag, the width and the conversion, consumes its input and
   stores through the next pointer of args; false when the scan ends here. */
static bool scan_directive(const char **in, const char **f, va_list *args, int *count)
{
    bool suppressed = **f == '*';
    if (suppressed)
        (*f)++;
    unsigned int width = scan_width(f);
    char conversion = *(*f)++;
    if (conversion == 'd' || conversion == 'i' || conversion == 'x' || conversion == 'X' || conversion == 'u') {
        unsigned int value;
        bool ok = conversion == 'u' ? scan_unsigned(in, &value) : scan_integer(in, conversion, &value);
        if (!ok)
            return false;
        if (suppressed)
            return true;
        *va_arg(*args, unsigned int *) = value;
        (*count)++;
        return true;
    }
    if (conversion == 'c') {
        if (**in == '\0')
            return false;
        if (!suppressed) {
            *va_arg(*args, char *) = **in;
            (*count)++;
        }
        (*in)++;
        return true;
    }
    if (conversion == 's') {
        char *dst = suppressed ? nullptr : va_arg(*args, char *);
        if (!scan_word(in, dst, width))
            return false;
        if (dst)
            (*count)++;
        return true;
    }
    if (conversion == '%' && **in == '%') {
        (*in)++;
        return true;
    }
    return false;
}

static int scan_text(const char *text, const char *format, va_list *args)
{
    const char *in = text;
    const char *f = format;
    int count = 0;
    while (*f != '\0') {
        if (scan_is_format_space(*f)) {
            while (scan_is_format_space(*in))
                in++;
            while (scan_is_format_space(*f))
                f++;
            continue;
        }
        if (*f == '%') {
            f++;
            if (!scan_directive(&in, &f, args, &count))
                return count;
            continue;
        }
        if (*in != *f)
            return count;
        in++;
        f++;
    }
    return count;
}

/* Scans text against format, storing through the pointers of ap; returns the number of assignments. */
int vsscanf(const char *text, const char *format, va_list ap)
{
    va_list args;
    va_copy(args, ap);
    int count = scan_text(text, format, &args);
    va_end(args);
    return count;
}

/* vsscanf over the variable arguments. */
int sscanf(const char *text, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int result = vsscanf(text, format, ap);
    va_end(ap);
    return result;
}

/* Takes one byte from a descriptor stream the way fgetc does: one read of one byte, pos and eof kept alike.
   False when no byte came. */
static bool scan_take_byte(FILE *stream, unsigned char *byte)
{
    int got = read(stream->fd, byte, 1);
    if (got <= 0) {
        stream->eof = 1;
        return false;
    }
    stream->pos += got;
    return got == 1;
}

/* Reads the next separator-delimited word of a descriptor stream, and its separator, and scans that word. */
int fscanf(FILE *stream, const char *format, ...)
{
    if (!stream || !format || stream->kind != STREAM_KIND_FD)
        return -1;
    unsigned char byte;
    do {
        if (!scan_take_byte(stream, &byte))
            return -1;
    } while (scan_is_separator(byte));
    char word[scan_word_max + 1];
    unsigned int n = 0;
    do {
        if (n < scan_word_max)
            word[n++] = (char)byte;
    } while (scan_take_byte(stream, &byte) && !scan_is_separator(byte));
    word[n] = '\0';
    va_list ap;
    va_start(ap, format);
    int result = vsscanf(word, format, ap);
    va_end(ap);
    return result;
}

}
