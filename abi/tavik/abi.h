/* tavik/abi.h: the tavik kernel interface as numbers: system calls (from calls.def), open flags, the kernel's error
   numbers, and the layout of a process. The library's wrappers and the kit take their values from here. */
#ifndef TAVIK_ABI_H
#define TAVIK_ABI_H

/* TAVIK_NR_write, TAVIK_NR__exit, ...: the call numbers. */
enum {
#define TAVIK_CALL(nr, name, a, b, c, result) TAVIK_NR_##name = nr,
#include "calls.def"
#undef TAVIK_CALL
};

/* Open flags, as passed in ecx of open. */
#define TAVIK_O_RDONLY 0x0
#define TAVIK_O_WRONLY 0x1
#define TAVIK_O_RDWR 0x2
#define TAVIK_O_CREAT 0x40
#define TAVIK_O_TRUNC 0x200

/* lseek's whence. */
#define TAVIK_SEEK_SET 0
#define TAVIK_SEEK_CUR 1
#define TAVIK_SEEK_END 2

/* waitpid's options. */
#define TAVIK_WNOHANG 1

/* The kernel's failures: a call returns the negated number. TAVIK_ERROR(number, name, text). */
#define TAVIK_ERRORS(X)                                   \
    X(1, EPERM, "Operation not permitted")                \
    X(2, ENOENT, "No such file or directory")             \
    X(4, EINTR, "Interrupted system call")                \
    X(5, EIO, "Input/output error")                       \
    X(6, ENXIO, "No such device or address")              \
    X(7, E2BIG, "Argument list too long")                 \
    X(8, ENOEXEC, "Exec format error")                    \
    X(9, EBADF, "Bad file descriptor")                    \
    X(10, ECHILD, "No child processes")                   \
    X(11, EAGAIN, "Resource temporarily unavailable")     \
    X(12, ENOMEM, "Cannot allocate memory")               \
    X(13, EACCES, "Permission denied")                    \
    X(14, EFAULT, "Bad address")                          \
    X(16, EBUSY, "Device or resource busy")               \
    X(17, EEXIST, "File exists")                          \
    X(18, EXDEV, "Invalid cross-device link")             \
    X(20, ENOTDIR, "Not a directory")                     \
    X(21, EISDIR, "Is a directory")                       \
    X(22, EINVAL, "Invalid argument")                     \
    X(23, ENFILE, "Too many open files in system")        \
    X(24, EMFILE, "Too many open files")                  \
    X(26, ETXTBSY, "Text file busy")                      \
    X(27, EFBIG, "File too large")                        \
    X(28, ENOSPC, "No space left on device")              \
    X(29, ESPIPE, "Illegal seek")                         \
    X(30, EROFS, "Read-only file system")                 \
    X(31, EMLINK, "Too many links")                       \
    X(32, EPIPE, "Broken pipe")                           \
    X(34, ERANGE, "Numerical result out of range")        \
    X(36, ENAMETOOLONG, "File name too long")             \
    X(38, ENOSYS, "Function not implemented")             \
    X(39, ENOTEMPTY, "Directory not empty")               \
    X(40, ELOOP, "Too many levels of symbolic links")     \
    X(75, EOVERFLOW, "Value too large for defined data type") \
    X(122, EDQUOT, "Disk quota exceeded")

/* TAVIK_ENOENT, ...: the error numbers, positive. */
enum {
#define TAVIK_ERROR_NUMBER(nr, name, text) TAVIK_##name = nr,
    TAVIK_ERRORS(TAVIK_ERROR_NUMBER)
#undef TAVIK_ERROR_NUMBER
};

/* The process's layout: images load at TAVIK_LOAD_ADDRESS (tavik/image.h); the stack lies directly below
   TAVIK_STACK_TOP. */
#include "image.h"
#define TAVIK_STACK_TOP 0xC0000000u

#endif
