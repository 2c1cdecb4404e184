/* limits.h: the compiler's own limits.h defines every limit of the language and then looks for the system's
 * limits with #include_next; this is that header, and this system adds none. */
#ifndef TAVIK_LIMITS_H
#define TAVIK_LIMITS_H
#endif
