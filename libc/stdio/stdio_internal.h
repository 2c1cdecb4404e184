/* stdio_internal.h: what the parts of the standard I/O area share and nothing outside it sees. */
#ifndef TAVIK_STDIO_INTERNAL_H
#define TAVIK_STDIO_INTERNAL_H

#include <stddef.h>
#include <stdio.h>

extern "C" {

/* Writes n bytes to any kind of stream; 0 on success, -1 on failure. The one write path of all stream output. */
int file_write_bytes(FILE *stream, const void *data, size_t n);

}

#endif
