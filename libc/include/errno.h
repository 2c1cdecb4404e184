/* errno.h: the process's error indicator and the system's error codes. */
#ifndef TAVIK_ERRNO_H
#define TAVIK_ERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

#define ENOENT 2
#define ENOMEM 12
#define EINVAL 22
#define ENOSYS 38

/* The one error indicator of the process: 0 at start, set only by the heap (12 when an allocation fails). */
extern int errno;

/* A short constant text for an error code; never null. */
char *strerror(int code);

#ifdef __cplusplus
}
#endif

#endif
