/* ubsan: the entry points that code built with -fsanitize=undefined calls when it finds undefined behaviour.
 * Each does nothing of its own: tavik-run stops at its first instruction, reads what the compiler passed (the
 * source location, the types, the operands) and writes the report as it writes fault reports. The recoverable
 * forms return and the program goes on; under tavik-run the _abort forms and the two that cannot go on end the
 * process with status 1. Each body differs (its asm comment names it), so that no two are folded into one
 * address. */

#define TAVIK_UBSAN(name)                                                       \
    void __ubsan_handle_##name(void *data, void *a, void *b)                   \
    {                                                                           \
        (void)data, (void)a, (void)b;                                           \
        __asm__ volatile("# " #name);                                           \
    }
#define TAVIK_UBSAN_BOTH(name) TAVIK_UBSAN(name) TAVIK_UBSAN(name##_abort)

TAVIK_UBSAN_BOTH(add_overflow)
TAVIK_UBSAN_BOTH(sub_overflow)
TAVIK_UBSAN_BOTH(mul_overflow)
TAVIK_UBSAN_BOTH(negate_overflow)
TAVIK_UBSAN_BOTH(divrem_overflow)
TAVIK_UBSAN_BOTH(shift_out_of_bounds)
TAVIK_UBSAN_BOTH(out_of_bounds)
TAVIK_UBSAN_BOTH(type_mismatch_v1)
TAVIK_UBSAN_BOTH(vla_bound_not_positive)
TAVIK_UBSAN_BOTH(load_invalid_value)
TAVIK_UBSAN_BOTH(float_cast_overflow)
TAVIK_UBSAN_BOTH(nonnull_arg)
TAVIK_UBSAN_BOTH(nonnull_return_v1)
TAVIK_UBSAN_BOTH(pointer_overflow)
TAVIK_UBSAN_BOTH(invalid_builtin)
TAVIK_UBSAN(builtin_unreachable)
TAVIK_UBSAN(missing_return)
