/* fcntl: open and creat, both the open call. */
#include <fcntl.h>
#include <stdarg.h>

#include <tavik/abi.h>

#include "syscall.h"

extern "C" {

int open(const char *path, int flags, ...)
{
    if (!path)
        return -1;
    unsigned int mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, unsigned int);
        va_end(ap);
    }
    return sys_call3(TAVIK_NR_open, sys_ptr(path), flags, mode);
}

int creat(const char *path)
{
    if (!path)
        return -1;
    return sys_call3(TAVIK_NR_open, sys_ptr(path), O_WRONLY | O_CREAT | O_TRUNC, 0);
}

}
