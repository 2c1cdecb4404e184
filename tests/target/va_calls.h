/* The formatters' va_list entry points called with a real argument list, as a program's own wrapper would. */
#pragma once
#include <stdarg.h>
#include <stdio.h>

static inline int list_vsnprintf(char *dst, size_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(dst, size, format, ap);
    va_end(ap);
    return n;
}

static inline int list_vsprintf(char *dst, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsprintf(dst, format, ap);
    va_end(ap);
    return n;
}

static inline int list_vfprintf(FILE *stream, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(stream, format, ap);
    va_end(ap);
    return n;
}
