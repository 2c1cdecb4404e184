/* unistd: the system-call wrappers, in order of call number. */
#include <unistd.h>

#include <tavik/abi.h>

#include "syscall.h"

extern "C" {

int write(int fd, const void *buf, size_t count)
{
    if (!buf)
        return -1;
    return sys_call3(TAVIK_NR_write, fd, sys_ptr(buf), sys_clamp_count(count));
}

void _exit(int status)
{
    sys_call1(TAVIK_NR__exit, status);
    /* Should the kernel ever come back, go no further: hlt faults in user mode. */
    for (;;)
        __asm__ volatile("1: hlt\n\tjmp 1b");
}

int read(int fd, void *buf, size_t count)
{
    if (!buf)
        return -1;
    return sys_call3(TAVIK_NR_read, fd, sys_ptr(buf), sys_clamp_count(count));
}

int close(int fd)
{
    return sys_call1(TAVIK_NR_close, fd);
}

int getkey(void)
{
    return sys_call0(TAVIK_NR_getkey);
}

int writefile(const char *path, const void *data, size_t count)
{
    if (!path || !data)
        return -1;
    return sys_call3(TAVIK_NR_writefile, sys_ptr(path), sys_ptr(data), sys_clamp_count(count));
}

int usleep(unsigned int usec)
{
    sys_call1(TAVIK_NR_usleep, usec);
    return 0;
}

int sleep(unsigned int seconds)
{
    /* 32-bit product: exact up to 4294 seconds, wrapping beyond. */
    sys_call1(TAVIK_NR_usleep, seconds * 1000000u);
    return 0;
}

int mkdir(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(TAVIK_NR_mkdir, sys_ptr(path));
}

int unlink(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(TAVIK_NR_unlink, sys_ptr(path));
}

int rmdir(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(TAVIK_NR_rmdir, sys_ptr(path));
}

int getcwd(char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    return sys_call3(TAVIK_NR_getcwd, sys_ptr(buf), sys_clamp_count(size), 0);
}

int tavikfs_stream_begin(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(TAVIK_NR_tavikfs_stream_begin, sys_ptr(path));
}

int tavikfs_stream_write(int stream, const void *data, size_t count)
{
    if (!data)
        return -1;
    return sys_call3(TAVIK_NR_tavikfs_stream_write, stream, sys_ptr(data), sys_clamp_count(count));
}

int tavikfs_stream_end(int stream)
{
    return sys_call1(TAVIK_NR_tavikfs_stream_end, stream);
}

int chdir(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(TAVIK_NR_chdir, sys_ptr(path));
}

int lseek(int fd, int offset, int whence)
{
    return sys_call3(TAVIK_NR_lseek, fd, offset, whence);
}

int pipe(int fds[2])
{
    if (!fds)
        return -1;
    return sys_call1(TAVIK_NR_pipe, sys_ptr(fds));
}

int mkfifo(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(TAVIK_NR_mkfifo, sys_ptr(path));
}

int dup(int fd)
{
    return sys_call1(TAVIK_NR_dup, fd);
}

int dup2(int fd, int fd2)
{
    return sys_call3(TAVIK_NR_dup2, fd, fd2, 0);
}

int fd_set_inherit(int on)
{
    return sys_call1(TAVIK_NR_fd_set_inherit, on != 0);
}

int fd_set_stdio(int in_fd, int out_fd, int err_fd)
{
    return sys_call3(TAVIK_NR_fd_set_stdio, in_fd, out_fd, err_fd);
}

int fd_set_nonblock(int fd, int on)
{
    return sys_call3(TAVIK_NR_fd_set_nonblock, fd, on != 0, 0);
}

int spawn(const char *path, char *const argv[], int argc)
{
    if (!path || argc < 0)
        return -1;
    return sys_call3(TAVIK_NR_spawn, sys_ptr(path), sys_ptr(argv), argc);
}

int waitpid(int pid, int *status, int options)
{
    return sys_call3(TAVIK_NR_waitpid, pid, sys_ptr(status), options);
}

/* Tests only that the path can be opened for reading; the access mode is not examined. */
int access(const char *path, int mode)
{
    (void)mode;
    if (!path)
        return -1;
    int fd = sys_call3(TAVIK_NR_open, sys_ptr(path), 0, 0);
    if (fd < 0)
        return -1;
    sys_call1(TAVIK_NR_close, fd);
    return 0;
}

}
