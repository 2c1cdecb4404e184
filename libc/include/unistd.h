/* unistd.h: one thin wrapper per kernel service. Wrappers return the kernel's result unchanged and never touch errno. */
#ifndef TAVIK_UNISTD_H
#define TAVIK_UNISTD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STDIN_FILENO 0
#define STDOUT_FILENO 1
#define STDERR_FILENO 2

#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

int write(int fd, const void *buf, size_t count);
void _exit(int status) __attribute__((noreturn));
int read(int fd, void *buf, size_t count);
int close(int fd);
int getkey(void);
int writefile(const char *path, const void *data, size_t count);
int usleep(unsigned int usec);
int sleep(unsigned int seconds);
int mkdir(const char *path);
int unlink(const char *path);
int rmdir(const char *path);
int getcwd(char *buf, size_t size);
int tavikfs_stream_begin(const char *path);
int tavikfs_stream_write(int stream, const void *data, size_t count);
int tavikfs_stream_end(int stream);
int chdir(const char *path);
int lseek(int fd, int offset, int whence);
int pipe(int fds[2]);
int mkfifo(const char *path);
int dup(int fd);
int dup2(int fd, int fd2);
int fd_set_inherit(int on);
int fd_set_stdio(int in_fd, int out_fd, int err_fd);
int fd_set_nonblock(int fd, int on);
int spawn(const char *path, char *const argv[], int argc);
int waitpid(int pid, int *status, int options);
int access(const char *path, int mode);

#ifdef __cplusplus
}
#endif

#endif
