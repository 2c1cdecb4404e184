/* stdlib.h: process end, the heap, number conversion and pseudo-random numbers. */
#ifndef TAVIK_STDLIB_H
#define TAVIK_STDLIB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1
#define RAND_MAX 32767

void exit(int status) __attribute__((noreturn));
void abort(void) __attribute__((noreturn));
int atexit(void (*fn)(void));
char *getenv(const char *name);

void *malloc(size_t size);
void *calloc(size_t count, size_t size);
void *realloc(void *old, size_t size);
void free(void *ptr);

unsigned long strtoul(const char *text, char **end, int base);
long strtol(const char *text, char **end, int base);
int atoi(const char *text);
long atol(const char *text);
int abs(int value);
long labs(long value);
long double strtold(const char *text, char **end);
double strtod(const char *text, char **end);

void srand(unsigned int seed);
int rand(void);

#ifdef __cplusplus
}
#endif

#endif
