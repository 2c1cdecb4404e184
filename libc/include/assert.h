/* assert.h: assert(e), header-only (the library has no code for it). A failed assertion calls
 * __tavik_assert_fail with the expression, file, line and function, which ends the program as abort does (status
 * 1, and the library says nothing); tavik-run reports it with those and the backtrace. NDEBUG turns it off, as
 * ever. May be included again with NDEBUG changed. */
#undef assert
#ifdef NDEBUG
#define assert(e) ((void)0)
#else
#define assert(e) ((e) ? (void)0 : __tavik_assert_fail(#e, __FILE__, __LINE__, __func__))
#endif

#ifndef TAVIK_ASSERT_H
#define TAVIK_ASSERT_H

#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One copy in a program however many files include this (weak), called with its arguments on the stack where
 * tavik-run reads them. */
__attribute__((weak, noinline, noreturn)) void __tavik_assert_fail(const char *expression, const char *file,
                                                                   int line, const char *function)
{
    (void)expression;
    (void)file;
    (void)line;
    (void)function;
    abort();
}

#ifdef __cplusplus
}
#endif

#endif
