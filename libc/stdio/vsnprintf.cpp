/* vsnprintf: the buffer formatter, one pass over a format into a caller's array, with its thin entry points. */
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

extern "C" {

/* The array being filled: characters at positions below limit are stored, every position is counted. */
struct snbuf_out {
    char *dst;
    size_t limit;
    size_t pos;
};

/* A directive's settings, reset for every directive. */
struct snbuf_settings {
    bool left;
    bool zero;
    bool plus;
    int width;
    int precision;
};

static const char g_digits_lower[] = "0123456789abcdef";
static const char g_digits_upper[] = "0123456789ABCDEF";

/* Writes the digits of value in base, most significant first and unterminated, into out; their count goes to
 * *out_len. */
static void snbuf_render_unsigned(char *out, size_t *out_len, unsigned int value, unsigned int base, bool upper)
{
    if (value == 0) {
        out[0] = '0';
        *out_len = 1;
        return;
    }
    const char *table = upper ? g_digits_upper : g_digits_lower;
    size_t n = 0;
    while (value != 0) {
        out[n++] = table[value % base];
        value /= base;
    }
    for (size_t i = 0, j = n - 1; i < j; i++, j--) {
        char c = out[i];
        out[i] = out[j];
        out[j] = c;
    }
    *out_len = n;
}

static void snbuf_put(snbuf_out *out, char c)
{
    if (out->pos < out->limit)
        out->dst[out->pos] = c;
    out->pos++;
}

/* The loops below work on local copies of the position: a store through the char array could otherwise alias the
 * record, and the position would be reloaded for every character. */

/* Stores what fits of count copies of c and counts the rest without touching the array. */
static void snbuf_put_repeat(snbuf_out *out, char c, size_t count)
{
    char *dst = out->dst;
    size_t pos = out->pos;
    size_t limit = out->limit;
    for (; count && pos < limit; count--)
        dst[pos++] = c;
    out->pos = pos + count;
}

static void snbuf_put_bytes(snbuf_out *out, const char *s, size_t n)
{
    char *dst = out->dst;
    size_t pos = out->pos;
    size_t limit = out->limit;
    size_t i = 0;
    for (; i < n && pos < limit; i++)
        dst[pos++] = s[i];
    out->pos = pos + (n - i);
}

static bool snbuf_is_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* Reads a run of decimal digits; wraps modulo 2^32 like every other integer here. */
static const char *snbuf_parse_number(const char *p, int *value)
{
    unsigned int v = 0;
    while (snbuf_is_digit(*p))
        v = v * 10u + (unsigned int)(*p++ - '0');
    *value = (int)v;
    return p;
}

/* Reads flags, width, precision and a length modifier; returns the position of the conversion character. */
static const char *snbuf_parse_settings(const char *p, snbuf_settings *settings, va_list *ap)
{
    *settings = snbuf_settings{false, false, false, 0, -1};
    for (;; p++) {
        if (*p == '-')
            settings->left = true;
        else if (*p == '0')
            settings->zero = true;
        else if (*p == '+')
            settings->plus = true;
        else
            break;
    }
    if (*p == '*') {
        settings->width = va_arg(*ap, int);
        p++;
    } else {
        p = snbuf_parse_number(p, &settings->width);
    }
    if (*p == '.') {
        p++;
        if (*p == '*') {
            settings->precision = va_arg(*ap, int);
            p++;
        } else {
            p = snbuf_parse_number(p, &settings->precision);
        }
    }
    if (*p == 'l') {
        p++;
        if (*p == 'l')
            p++;
    } else if (*p == 'z') {
        p++;
    }
    return p;
}

/* Sign, precision zeros and digits, padded to the width by the first of the three rules that applies. */
static void snbuf_put_integer(snbuf_out *out, const snbuf_settings *settings, unsigned int magnitude, char sign,
                              unsigned int base, bool upper)
{
    char digits[12];
    size_t ndigits;
    snbuf_render_unsigned(digits, &ndigits, magnitude, base, upper);
    size_t zeros = 0;
    if (settings->precision > 0 && (size_t)settings->precision > ndigits)
        zeros = (size_t)settings->precision - ndigits;
    size_t body = (sign ? 1 : 0) + zeros + ndigits;
    size_t pad = 0;
    if (settings->width > 0 && (size_t)settings->width > body)
        pad = (size_t)settings->width - body;
    if (pad && settings->zero && !settings->left && settings->precision < 0) {
        if (sign)
            snbuf_put(out, sign);
        snbuf_put_repeat(out, '0', pad);
        snbuf_put_bytes(out, digits, ndigits);
        return;
    }
    if (!settings->left)
        snbuf_put_repeat(out, ' ', pad);
    if (sign)
        snbuf_put(out, sign);
    snbuf_put_repeat(out, '0', zeros);
    snbuf_put_bytes(out, digits, ndigits);
    if (settings->left)
        snbuf_put_repeat(out, ' ', pad);
}

static void snbuf_put_signed(snbuf_out *out, const snbuf_settings *settings, int value)
{
    unsigned int magnitude = (unsigned int)value;
    char sign = 0;
    if (value < 0) {
        magnitude = 0u - magnitude;
        sign = '-';
    } else if (settings->plus) {
        sign = '+';
    }
    snbuf_put_integer(out, settings, magnitude, sign, 10, false);
}

static void snbuf_put_pointer(snbuf_out *out, unsigned int value)
{
    char digits[12];
    size_t ndigits;
    snbuf_render_unsigned(digits, &ndigits, value, 16, false);
    snbuf_put(out, '0');
    snbuf_put(out, 'x');
    snbuf_put_bytes(out, digits, ndigits);
}

/* Right-aligned in the width; with the left-justify flag the width is negated, which leaves no padding at all.
 * A precision bounds how far the string is read, so a fixed-size field without a terminator is safe. */
static void snbuf_put_string(snbuf_out *out, const snbuf_settings *settings, const char *s)
{
    if (!s)
        s = "(null)";
    size_t len = 0;
    if (settings->precision >= 0) {
        while (len < (size_t)settings->precision && s[len])
            len++;
    } else {
        while (s[len])
            len++;
    }
    int width = settings->left ? (int)(0u - (unsigned int)settings->width) : settings->width;
    if (width > 0 && len < (size_t)width)
        snbuf_put_repeat(out, ' ', (size_t)width - len);
    snbuf_put_bytes(out, s, len);
}

/* Produces one conversion; an unrecognised character is echoed after a '%' and takes no argument. */
static void snbuf_convert(snbuf_out *out, const snbuf_settings *settings, char conversion, va_list *ap)
{
    switch (conversion) {
    case 'd':
    case 'i':
        snbuf_put_signed(out, settings, va_arg(*ap, int));
        return;
    case 'u':
        snbuf_put_integer(out, settings, va_arg(*ap, unsigned int), 0, 10, false);
        return;
    case 'x':
        snbuf_put_integer(out, settings, va_arg(*ap, unsigned int), 0, 16, false);
        return;
    case 'X':
        snbuf_put_integer(out, settings, va_arg(*ap, unsigned int), 0, 16, true);
        return;
    case 'p':
        snbuf_put_pointer(out, va_arg(*ap, unsigned int));
        return;
    case 'c':
        snbuf_put(out, (char)va_arg(*ap, int));
        return;
    case 's':
        snbuf_put_string(out, settings, va_arg(*ap, const char *));
        return;
    case '%':
        snbuf_put(out, '%');
        return;
    default:
        snbuf_put(out, '%');
        snbuf_put(out, conversion);
        return;
    }
}

/* Formats into dst, storing at most size - 1 characters and a terminator; returns the full would-be length. */
int vsnprintf(char *dst, size_t size, const char *format, va_list ap)
{
    /* A null dst is measured like size 0: nothing is stored, not even the terminator. */
    if (!dst)
        size = 0;
    if (!format) {
        if (size)
            dst[0] = '\0';
        return 0;
    }
    snbuf_out out = {dst, size ? size - 1 : 0, 0};
    va_list args;
    va_copy(args, ap);
    const char *p = format;
    while (*p) {
        if (*p != '%') {
            snbuf_put(&out, *p++);
            continue;
        }
        snbuf_settings settings;
        p = snbuf_parse_settings(p + 1, &settings, &args);
        if (!*p)
            break;
        snbuf_convert(&out, &settings, *p++, &args);
    }
    va_end(args);
    if (size)
        dst[out.pos < size - 1 ? out.pos : size - 1] = '\0';
    return (int)out.pos;
}

/* vsnprintf over the variable arguments. */
int snprintf(char *dst, size_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(dst, size, format, ap);
    va_end(ap);
    return n;
}

/* vsnprintf into an array taken to hold 65536 bytes. */
int vsprintf(char *dst, const char *format, va_list ap)
{
    return vsnprintf(dst, 0x10000, format, ap);
}

/* vsprintf over the variable arguments. */
int sprintf(char *dst, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(dst, 0x10000, format, ap);
    va_end(ap);
    return n;
}

}
