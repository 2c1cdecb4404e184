/* fcntl.h: opening files. */
#ifndef TAVIK_FCNTL_H
#define TAVIK_FCNTL_H

#include <tavik/abi.h>

#ifdef __cplusplus
extern "C" {
#endif

#define O_RDONLY TAVIK_O_RDONLY
#define O_WRONLY TAVIK_O_WRONLY
#define O_CREAT TAVIK_O_CREAT
#define O_TRUNC TAVIK_O_TRUNC

/* Opens path; the third argument, the creation mode, is read only when flags contain O_CREAT. */
int open(const char *path, int flags, ...);
/* Opens path for writing, creating and truncating it. */
int creat(const char *path);

#ifdef __cplusplus
}
#endif

#endif
