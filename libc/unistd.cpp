/* unistd: the system-call wrappers, in order of call number. */
#include <unistd.h>

#include "syscall.h"

extern "C" {

int write(int fd, const void *buf, size_t count)
{
    if (!buf)
        return -1;
    return sys_call3(1, fd, sys_ptr(buf), sys_clamp_count(count));
}

void _exit(int status)
{
    sys_call1(2, status);
    /* Should the kernel ever come back, go no further: hlt faults in user mode. */
    for (;;)
        __asm__ volatile("1: hlt\n\tjmp 1b");
}

int read(int fd, void *buf, size_t count)
{
    if (!buf)
        return -1;
    return sys_call3(3, fd, sys_ptr(buf), sys_clamp_count(count));
}

int close(int fd)
{
    return sys_call1(5, fd);
}

int getkey(void)
{
    return sys_call0(6);
}

int writefile(const char *path, const void *data, size_t count)
{
    if (!path || !data)
        return -1;
    return sys_call3(21, sys_ptr(path), sys_ptr(data), sys_clamp_count(count));
}

int usleep(unsigned int usec)
{
    sys_call1(22, usec);
    return 0;
}

int sleep(unsigned int seconds)
{
    /* 32-bit product: exact up to 4294 seconds, wrapping beyond. */
    sys_call1(22, seconds * 1000000u);
    return 0;
}

int mkdir(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(49, sys_ptr(path));
}

int unlink(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(50, sys_ptr(path));
}

int rmdir(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(51, sys_ptr(path));
}

int getcwd(char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    return sys_call3(52, sys_ptr(buf), sys_clamp_count(size), 0);
}

int tavikfs_stream_begin(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(53, sys_ptr(path));
}

int tavikfs_stream_write(int stream, const void *data, size_t count)
{
    if (!data)
        return -1;
    return sys_call3(54, stream, sys_ptr(data), sys_clamp_count(count));
}

int tavikfs_stream_end(int stream)
{
    return sys_call1(55, stream);
}

int chdir(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(95, sys_ptr(path));
}

int lseek(int fd, int offset, int whence)
{
    return sys_call3(110, fd, offset, whence);
}

int pipe(int fds[2])
{
    if (!fds)
        return -1;
    return sys_call1(124, sys_ptr(fds));
}

int mkfifo(const char *path)
{
    if (!path)
        return -1;
    return sys_call1(125, sys_ptr(path));
}

int dup(int fd)
{
    return sys_call1(126, fd);
}

int dup2(int fd, int fd2)
{
    return sys_call3(127, fd, fd2, 0);
}

int fd_set_inherit(int on)
{
    return sys_call1(128, on != 0);
}

int fd_set_stdio(int in_fd, int out_fd, int err_fd)
{
    return sys_call3(129, in_fd, out_fd, err_fd);
}

int fd_set_nonblock(int fd, int on)
{
    return sys_call3(130, fd, on != 0, 0);
}

int spawn(const char *path, char *const argv[], int argc)
{
    if (!path || argc < 0)
        return -1;
    return sys_call3(131, sys_ptr(path), sys_ptr(argv), argc);
}

int waitpid(int pid, int *status, int options)
{
    return sys_call3(132, pid, sys_ptr(status), options);
}

/* Tests only that the path can be opened for reading; the access mode is not examined. */
int access(const char *path, int mode)
{
    (void)mode;
    if (!path)
        return -1;
    int fd = sys_call3(4, sys_ptr(path), 0, 0);
    if (fd < 0)
        return -1;
    sys_call1(5, fd);
    return 0;
}

}
