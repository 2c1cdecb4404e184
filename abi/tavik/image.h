/* tavik/image.h: the layout of a tavik command image, as the linker script lays it out (sdk/tavik.ld.in is
   filled from these values), the records macros write it, and tavik-run and tavik-meta check it. */
#ifndef TAVIK_IMAGE_H
#define TAVIK_IMAGE_H

/* Code starts here, with _start as its first byte; each segment starts on a page of its own. */
#define TAVIK_LOAD_ADDRESS 0x400000
#define TAVIK_PAGE_SIZE 4096

/* The two records a command carries in read-only data, each in a section of its own: a 4-byte magic, the version
   word (32 bits, little-endian), zero-terminated strings, an end byte. The symbol names the record's first byte. */
#define TAVIK_RECORD_VERSION 1
#define TAVIK_RECORD_VERSION_BYTES "\x01\0\0\0"
#define TAVIK_COMMAND_SECTION ".tavik.cmdmeta"
#define TAVIK_COMMAND_MAGIC "TCMD"
#define TAVIK_COMMAND_ALIGN 32
#define TAVIK_COMMAND_SYMBOL g_cmdmeta_0
#define TAVIK_PACKAGE_SECTION ".tavik.pkgmeta"
#define TAVIK_PACKAGE_MAGIC "TPKG"
#define TAVIK_PACKAGE_ALIGN 4
#define TAVIK_PACKAGE_SYMBOL g_pkgmeta_0

/* A name above as a string literal: TAVIK_STRING(TAVIK_COMMAND_SYMBOL) is "g_cmdmeta_0". */
#define TAVIK_STRING_(x) #x
#define TAVIK_STRING(x) TAVIK_STRING_(x)

#endif
