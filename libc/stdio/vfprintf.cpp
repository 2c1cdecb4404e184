/* vfprintf: the stream formatter, an engine of its own writing every piece of its output through the stream layer. */
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "stdio_internal.h"

extern "C" {

/* A directive's settings, reset for every directive. There are no flags in this engine. */
struct fmt_settings {
    int width;
    int precision;
    bool long_long;
};

/* The stream being written and the bytes written to it so far (wrapping like every count here). */
struct fmt_out {
    FILE *stream;
    unsigned int count;
};

static const char g_digit_chars[] = "0123456789abcdef";

static bool fmt_is_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* One write of one byte, from a one-byte local. */
static bool fmt_write_byte(fmt_out *out, char c)
{
    char byte = c;
    if (file_write_bytes(out->stream, &byte, 1) != 0)
        return false;
    out->count++;
    return true;
}

static bool fmt_write_repeat(fmt_out *out, char c, long long n)
{
    for (; n > 0; n--)
        if (!fmt_write_byte(out, c))
            return false;
    return true;
}

static bool fmt_write_run(fmt_out *out, const char *data, size_t n)
{
    if (file_write_bytes(out->stream, data, n) != 0)
        return false;
    out->count += (unsigned int)n;
    return true;
}

/* Reads a run of decimal digits, wrapping modulo 2^32. */
static const char *fmt_read_number(const char *p, int *value)
{
    unsigned int v = 0;
    while (fmt_is_digit(*p))
        v = v * 10u + (unsigned int)(*p++ - '0');
    *value = (int)v;
    return p;
}

/* Reads width, precision and the length modifier; returns the position of the conversion character. */
static const char *fmt_read_settings(const char *p, fmt_settings *settings, va_list *ap)
{
    *settings = fmt_settings{0, -1, false};
    if (*p == '*') {
        settings->width = va_arg(*ap, int);
        p++;
    } else {
        p = fmt_read_number(p, &settings->width);
    }
    if (*p == '.') {
        p++;
        if (*p == '*') {
            settings->precision = va_arg(*ap, int);
            p++;
        } else {
            p = fmt_read_number(p, &settings->precision);
        }
    }
    if (*p == 'l') {
        p++;
        if (*p == 'l') {
            settings->long_long = true;
            p++;
        }
    }
    return p;
}

/* A 64-bit value is passed as two words, low word first. */
static unsigned long long fmt_take_unsigned(const fmt_settings *settings, va_list *ap)
{
    if (!settings->long_long)
        return va_arg(*ap, unsigned int);
    unsigned long long low = va_arg(*ap, unsigned int);
    unsigned long long high = va_arg(*ap, unsigned int);
    return high << 32 | low;
}

/* Spaces, sign, prefix and precision zeros go out a byte per write, the digits in one write. The division is the
 * compiler's 64-bit routine: the values here may be wider than the processor's divide. */
static bool fmt_write_integer(fmt_out *out, const fmt_settings *settings, unsigned long long value, bool negative,
                              unsigned int base, bool prefix)
{
    char backwards[32];
    char digits[32];
    size_t n = 0;
    do {
        backwards[n++] = g_digit_chars[value % base];
        value /= base;
    } while (value != 0 && n < sizeof backwards);
    for (size_t i = 0; i < n; i++)
        digits[i] = backwards[n - 1 - i];
    long long zeros = 0;
    if (settings->precision >= 0 && (size_t)settings->precision > n)
        zeros = (long long)settings->precision - (long long)n;
    long long total = (negative ? 1 : 0) + (prefix ? 2 : 0) + zeros + (long long)n;
    if (!fmt_write_repeat(out, ' ', (long long)settings->width - total))
        return false;
    if (negative && !fmt_write_byte(out, '-'))
        return false;
    if (prefix && !(fmt_write_byte(out, '0') && fmt_write_byte(out, 'x')))
        return false;
    if (!fmt_write_repeat(out, '0', zeros))
        return false;
    return fmt_write_run(out, digits, n);
}

static bool fmt_write_signed(fmt_out *out, const fmt_settings *settings, va_list *ap)
{
    long long value;
    if (settings->long_long)
        value = (long long)fmt_take_unsigned(settings, ap);
    else
        value = va_arg(*ap, int);
    unsigned long long magnitude = (unsigned long long)value;
    if (value < 0)
        magnitude = 0ull - magnitude;
    return fmt_write_integer(out, settings, magnitude, value < 0, 10, false);
}

/* Always right-aligned. A precision bounds how far the string is read, so a fixed-size field without a
 * terminator is safe. */
static bool fmt_write_string(fmt_out *out, const fmt_settings *settings, const char *s)
{
    if (!s)
        s = "(null)";
    size_t len = settings->precision >= 0 ? strnlen(s, (size_t)settings->precision) : strlen(s);
    if (settings->width > 0 && (size_t)settings->width > len &&
        !fmt_write_repeat(out, ' ', (long long)settings->width - (long long)len))
        return false;
    return fmt_write_run(out, s, len);
}

/* Writes one conversion; an unrecognised character is written after a '%' and takes no argument. */
static bool fmt_convert(fmt_out *out, const fmt_settings *settings, char conversion, va_list *ap)
{
    switch (conversion) {
    case 'd':
    case 'i':
        return fmt_write_signed(out, settings, ap);
    case 'u':
        return fmt_write_integer(out, settings, fmt_take_unsigned(settings, ap), false, 10, false);
    case 'x':
        return fmt_write_integer(out, settings, fmt_take_unsigned(settings, ap), false, 16, false);
    case 'p':
        return fmt_write_integer(out, settings, fmt_take_unsigned(settings, ap), false, 16, true);
    case 'c':
        return fmt_write_byte(out, (char)va_arg(*ap, int));
    case 's':
        return fmt_write_string(out, settings, va_arg(*ap, const char *));
    case '%':
        return fmt_write_byte(out, '%');
    default:
        return fmt_write_byte(out, '%') && fmt_write_byte(out, conversion);
    }
}

/* A format beginning with "%c" on a descriptor stream on descriptor 1 sends 0xFF and the low bytes of the next
 * three arguments in one write, instead of a character; those bytes are not counted. */
static bool fmt_takes_marker(const FILE *stream, const char *format)
{
    return stream->kind == STREAM_KIND_FD && stream->fd == 1 && format[0] == '%' && format[1] == 'c';
}

static bool fmt_write_marker(FILE *stream, va_list *ap)
{
    unsigned char sequence[4];
    sequence[0] = 0xFF;
    for (int i = 1; i < 4; i++)
        sequence[i] = (unsigned char)va_arg(*ap, int);
    return file_write_bytes(stream, sequence, sizeof sequence) == 0;
}

/* Formats straight into stream, piece by piece; returns the bytes written, or -1 at the first failed write. */
int vfprintf(FILE *stream, const char *format, va_list ap)
{
    if (!stream || !format)
        return -1;
    va_list args;
    va_copy(args, ap);
    fmt_out out = {stream, 0};
    const char *p = format;
    bool ok = true;
    if (fmt_takes_marker(stream, p)) {
        ok = fmt_write_marker(stream, &args);
        p += 2;
    }
    while (ok && *p) {
        if (*p != '%') {
            ok = fmt_write_byte(&out, *p++);
            continue;
        }
        fmt_settings settings;
        p = fmt_read_settings(p + 1, &settings, &args);
        if (!*p)
            break;
        ok = fmt_convert(&out, &settings, *p++, &args);
    }
    va_end(args);
    return ok ? (int)out.count : -1;
}

/* vfprintf over the variable arguments. */
int fprintf(FILE *stream, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(stream, format, ap);
    va_end(ap);
    return n;
}

/* vfprintf on the stream stdout holds at the moment of the call. */
int printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(stdout, format, ap);
    va_end(ap);
    return n;
}

}
