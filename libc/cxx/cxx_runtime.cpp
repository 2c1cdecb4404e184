/* cxx_runtime: what a freestanding C++ command needs from its runtime, over the library's heap and process
 * services. Kept in an archive of its own (libtavikcxx.a), linked by C++ commands only, so that a C command
 * carries none of it. There are no exceptions: a new that cannot be satisfied ends the process with abort. */
#include <stddef.h>
#include <stdlib.h>

namespace std {
enum class align_val_t : size_t {};
struct nothrow_t {
    explicit nothrow_t() = default;
};
extern const nothrow_t nothrow;
const nothrow_t nothrow{};
}  // namespace std

namespace {

/* The heap's blocks are aligned to the heap's own granule; a stricter alignment takes more and rounds up. */
void *aligned_block(size_t size, size_t align)
{
    if (align == 0 || (align & (align - 1)) != 0)
        return nullptr;
    if (size > (size_t)-1 - align)
        return nullptr;
    char *raw = (char *)malloc(size + align);
    if (!raw)
        return nullptr;
    return (void *)(((size_t)raw + align - 1) & ~(align - 1));
}

void *must(void *block)
{
    if (!block)
        abort();
    return block;
}

}  // namespace

void *operator new(size_t size) { return must(malloc(size ? size : 1)); }
void *operator new[](size_t size) { return must(malloc(size ? size : 1)); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void *operator new(size_t size, std::align_val_t align) { return must(aligned_block(size ? size : 1, (size_t)align)); }
void *operator new[](size_t size, std::align_val_t align) { return must(aligned_block(size ? size : 1, (size_t)align)); }
void *operator new(size_t size, std::align_val_t align, const std::nothrow_t &) noexcept
{
    return aligned_block(size ? size : 1, (size_t)align);
}
void *operator new[](size_t size, std::align_val_t align, const std::nothrow_t &) noexcept
{
    return aligned_block(size ? size : 1, (size_t)align);
}

/* The heap never takes memory back: the unaligned forms hand their blocks to free as the library defines it, the
 * aligned ones (whose pointer is not the heap's own) keep them. */
void operator delete(void *block) noexcept { free(block); }
void operator delete[](void *block) noexcept { free(block); }
void operator delete(void *block, size_t) noexcept { free(block); }
void operator delete[](void *block, size_t) noexcept { free(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept { free(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { free(block); }
void operator delete(void *, std::align_val_t) noexcept {}
void operator delete[](void *, std::align_val_t) noexcept {}
void operator delete(void *, size_t, std::align_val_t) noexcept {}
void operator delete[](void *, size_t, std::align_val_t) noexcept {}
void operator delete(void *, std::align_val_t, const std::nothrow_t &) noexcept {}
void operator delete[](void *, std::align_val_t, const std::nothrow_t &) noexcept {}

extern "C" {

/* The one module of a static image. */
void *__dso_handle = &__dso_handle;

/* As the library's atexit: the process runs no handlers at its end, so nothing is recorded. */
int __cxa_atexit(void (*fn)(void *), void *arg, void *dso)
{
    (void)fn;
    (void)arg;
    (void)dso;
    return 0;
}

/* A call of a pure virtual function (through an object under construction or destruction) ends the process. */
void __cxa_pure_virtual(void)
{
    abort();
}

/* Guards of static locals, for code built with thread-safe statics: one thread, so the first byte of the guard
 * says whether the object is made. */
int __cxa_guard_acquire(long long *guard)
{
    return *(char *)guard == 0;
}

void __cxa_guard_release(long long *guard)
{
    *(char *)guard = 1;
}

void __cxa_guard_abort(long long *guard)
{
    (void)guard;
}

}
