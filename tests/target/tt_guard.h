/* tt_guard.h: memory with no mapped page behind it, so that a read or write past its end faults instead of
 * passing silently. tavik-run maps the stack right below 0xC0000000 and nothing above it. */
#ifndef TAVIK_TT_GUARD_H
#define TAVIK_TT_GUARD_H

/* The last n bytes below the stack's top (n at most a few dozen). They hold the argument strings: a program
 * using this must not read its argv afterwards. */
static inline char *tt_guarded_tail(unsigned int n)
{
    return (char *)(unsigned long)(0xC0000000u - n);
}

/* n bytes copied against the unmapped page, without a terminator: a field that must not be read past. */
static inline char *tt_guarded_copy(const char *bytes, unsigned int n)
{
    char *tail = tt_guarded_tail(n);
    for (unsigned int i = 0; i < n; i++)
        tail[i] = bytes[i];
    return tail;
}

#endif
