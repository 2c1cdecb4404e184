/* asan: what code built with -fsanitize=address calls. tavik-run maps the shadow (a byte per 8 bytes of memory,
 * at (address >> 3) + 0x20000000, where the compiler's inline checks look) when an image carries this runtime,
 * serves the heap with poisoned redzones, poisons the registered globals, stops at each report entry, and writes
 * the report as it writes fault reports. What remains here: the module constructors run before main (the link
 * wraps main), the out-of-line checks and stack poisoning the compiler calls for large functions and frames, and
 * the entries the kit stops at, whose bodies differ (each asm comment names it) so that none are folded. */

#define SHADOW_OFFSET 0x20000000u
#define SHADOW(a) ((signed char *)(((unsigned)(a) >> 3) + SHADOW_OFFSET))

/* The compiler reads this before each frame with locals: no frames on a separate heap. */
int __asan_option_detect_stack_use_after_return;

#define TAVIK_ASAN_STOP(name, params, uses)                                     \
    void __asan_##name params                                                  \
    {                                                                           \
        uses;                                                                   \
        __asm__ volatile("# " #name);                                           \
    }

#define TAVIK_ASAN_REPORT(size)                                                                        \
    TAVIK_ASAN_STOP(report_load##size, (void *a), (void)a)                                             \
    TAVIK_ASAN_STOP(report_store##size, (void *a), (void)a)                                            \
    TAVIK_ASAN_STOP(report_load##size##_noabort, (void *a), (void)a)                                   \
    TAVIK_ASAN_STOP(report_store##size##_noabort, (void *a), (void)a)

TAVIK_ASAN_REPORT(1)
TAVIK_ASAN_REPORT(2)
TAVIK_ASAN_REPORT(4)
TAVIK_ASAN_REPORT(8)
TAVIK_ASAN_REPORT(16)
TAVIK_ASAN_STOP(report_load_n, (void *a, unsigned n), (void)a; (void)n)
TAVIK_ASAN_STOP(report_store_n, (void *a, unsigned n), (void)a; (void)n)
TAVIK_ASAN_STOP(report_load_n_noabort, (void *a, unsigned n), (void)a; (void)n)
TAVIK_ASAN_STOP(report_store_n_noabort, (void *a, unsigned n), (void)a; (void)n)
TAVIK_ASAN_STOP(register_globals, (void *g, unsigned n), (void)g; (void)n)
TAVIK_ASAN_STOP(unregister_globals, (void *g, unsigned n), (void)g; (void)n)
TAVIK_ASAN_STOP(init, (void), (void)0)
TAVIK_ASAN_STOP(version_mismatch_check_v8, (void), (void)0)
TAVIK_ASAN_STOP(handle_no_return, (void), (void)0)
TAVIK_ASAN_STOP(before_dynamic_init, (const char *m), (void)m)
TAVIK_ASAN_STOP(after_dynamic_init, (void), (void)0)

/* Whether a byte of [a, a + n) may not be touched. */
static int poisoned(unsigned a, unsigned n)
{
    for (unsigned p = a; p - a < n; ++p) {
        signed char s = *SHADOW(p);
        if (s != 0 && (s < 0 || (int)(p & 7) >= s))
            return 1;
    }
    return 0;
}

#define TAVIK_ASAN_CHECK(size)                                                  \
    void __asan_load##size(void *a)                                            \
    {                                                                           \
        if (poisoned((unsigned)a, size))                                 \
            __asan_report_load##size(a);                                       \
    }                                                                           \
    void __asan_store##size(void *a)                                           \
    {                                                                           \
        if (poisoned((unsigned)a, size))                                 \
            __asan_report_store##size(a);                                      \
    }                                                                           \
    void __asan_load##size##_noabort(void *a)                                  \
    {                                                                           \
        if (poisoned((unsigned)a, size))                                 \
            __asan_report_load##size##_noabort(a);                             \
    }                                                                           \
    void __asan_store##size##_noabort(void *a)                                 \
    {                                                                           \
        if (poisoned((unsigned)a, size))                                 \
            __asan_report_store##size##_noabort(a);                            \
    }

TAVIK_ASAN_CHECK(1)
TAVIK_ASAN_CHECK(2)
TAVIK_ASAN_CHECK(4)
TAVIK_ASAN_CHECK(8)
TAVIK_ASAN_CHECK(16)

void __asan_loadN(void *a, unsigned n)
{
    if (poisoned((unsigned)a, n))
        __asan_report_load_n(a, n);
}

void __asan_storeN(void *a, unsigned n)
{
    if (poisoned((unsigned)a, n))
        __asan_report_store_n(a, n);
}

void __asan_loadN_noabort(void *a, unsigned n)
{
    if (poisoned((unsigned)a, n))
        __asan_report_load_n_noabort(a, n);
}

void __asan_storeN_noabort(void *a, unsigned n)
{
    if (poisoned((unsigned)a, n))
        __asan_report_store_n_noabort(a, n);
}

/* [a, a + n) marked with value; a is 8-aligned; a last partial granule is left addressable. */
static void shadow_fill(unsigned a, unsigned n, signed char value)
{
    for (unsigned p = a; p - a < n; p += 8)
        *SHADOW(p) = value;
}

/* Locals leaving and entering their scope, for frames too large for inline marks. */
void __asan_poison_stack_memory(void *a, unsigned n)
{
    shadow_fill((unsigned)a, n, (signed char)0xf8);
}

void __asan_unpoison_stack_memory(void *a, unsigned n)
{
    shadow_fill((unsigned)a, n, 0);
}

/* A variable-length array or alloca block: 32 bytes of redzone before it, its partial granule, and redzone to
 * the next 32-byte boundary and 32 bytes beyond. */
void __asan_alloca_poison(void *a, unsigned n)
{
    unsigned p = (unsigned)a, end = p + n, right = ((end + 31) & ~31u) + 32;
    shadow_fill(p - 32, 32, (signed char)0xca);
    shadow_fill(p, n & ~7u, 0);
    if (n & 7)
        *SHADOW(p + (n & ~7u)) = (signed char)(n & 7);
    shadow_fill((end + 7) & ~7u, right - ((end + 7) & ~7u), (signed char)0xcb);
}

void __asan_allocas_unpoison(void *top, void *bottom)
{
    if (top && bottom > top)
        shadow_fill((unsigned)top & ~7u, (unsigned)bottom - ((unsigned)top & ~7u), 0);
}

/* Frames on a separate heap are never asked for (see above); the entries exist for the link. */
#define TAVIK_ASAN_FAKE_STACK(n)                                                \
    void *__asan_stack_malloc_##n(unsigned size)                               \
    {                                                                           \
        (void)size;                                                             \
        return 0;                                                               \
    }                                                                           \
    void __asan_stack_free_##n(void *p, unsigned size)                         \
    {                                                                           \
        (void)p, (void)size;                                                    \
    }

TAVIK_ASAN_FAKE_STACK(0)
TAVIK_ASAN_FAKE_STACK(1)
TAVIK_ASAN_FAKE_STACK(2)
TAVIK_ASAN_FAKE_STACK(3)
TAVIK_ASAN_FAKE_STACK(4)
TAVIK_ASAN_FAKE_STACK(5)
TAVIK_ASAN_FAKE_STACK(6)
TAVIK_ASAN_FAKE_STACK(7)
TAVIK_ASAN_FAKE_STACK(8)
TAVIK_ASAN_FAKE_STACK(9)
TAVIK_ASAN_FAKE_STACK(10)

/* The module constructors (the globals' registrations, C++'s static constructors), in the linker's order. */
typedef void (*tavik_constructor)(void);
extern tavik_constructor __tavik_init_array_start[], __tavik_init_array_end[];
int __real_main(int argc, char **argv);

int __wrap_main(int argc, char **argv)
{
    for (tavik_constructor *c = __tavik_init_array_start; c != __tavik_init_array_end; ++c)
        (*c)();
    return __real_main(argc, argv);
}
