/* fcntl.h: opening files. */
#ifndef TAVIK_FCNTL_H
#define TAVIK_FCNTL_H

#ifdef __cplusplus
extern "C" {
#endif

#define O_RDONLY 0x0
#define O_WRONLY 0x1
#define O_CREAT 0x40
#define O_TRUNC 0x200

/* Opens path; the third argument, the creation mode, is read only when flags contain O_CREAT. */
int open(const char *path, int flags, ...);
/* Opens path for writing, creating and truncating it. */
int creat(const char *path);

#ifdef __cplusplus
}
#endif

#endif
