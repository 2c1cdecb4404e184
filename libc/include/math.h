/* math.h: what the processor does in one instruction, header-only (the library has no code for it): square roots
 * (x87 fsqrt, rounded to the type's precision when stored) and absolute values. No errno: the square root of a
 * negative number is a NaN. */
#ifndef TAVIK_MATH_H
#define TAVIK_MATH_H

static inline double sqrt(double x)
{
    double r;
    __asm__("fsqrt" : "=t"(r) : "0"(x));
    return r;
}

static inline float sqrtf(float x)
{
    float r;
    __asm__("fsqrt" : "=t"(r) : "0"(x));
    return r;
}

static inline double fabs(double x) { return __builtin_fabs(x); }
static inline float fabsf(float x) { return __builtin_fabsf(x); }

#endif
