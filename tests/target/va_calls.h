/* The formatters' va_list entry points called with a real argument list, as a program's own wrapper would. */
#pragma once
#include <stdarg.h>
#include <stdio.h>

/* Each wrapper takes its arguments as a list and hands the formatter the va_list, as a program's own would. */
#define VA_CALLS_WRAPPER(name, params, call) \
    static inline int name params           \
    {                                       \
        va_list ap;                         \
        va_start(ap, format);               \
        int n = call;                       \
        va_end(ap);                         \
        return n;                           \
    }

VA_CALLS_WRAPPER(list_vsnprintf, (char *dst, size_t size, const char *format, ...), vsnprintf(dst, size, format, ap))
VA_CALLS_WRAPPER(list_vsprintf, (char *dst, const char *format, ...), vsprintf(dst, format, ap))
VA_CALLS_WRAPPER(list_vfprintf, (FILE *stream, const char *format, ...), vfprintf(stream, format, ap))
