/* tavik/records.h: the command record and the package record that tools read from a command's image
 * (tavik-meta prints them and checks them). One line each, at file scope, in any one source file of the command:
 *
 *     TAVIK_COMMAND_RECORD("Count the lines of a file.", "wc FILE");
 *     TAVIK_PACKAGE_RECORD("wc", "1");
 *
 * Each lays out its record in a section of its own, exactly as the system's tools expect it: a 4-byte magic
 * ("TCMD" or "TPKG"), the version word 1 (32 bits, little-endian), the two strings with their NULs, and an end
 * byte. The arguments are string literals. Nothing in the program refers to the records. */
#ifndef TAVIK_RECORDS_H
#define TAVIK_RECORDS_H

#include <tavik/image.h>

/* The section, allocated and read-only whatever the compiler would choose for a named section, and the record
 * in it under a plain symbol name. */
#define TAVIK_RECORD_(name, alignment, symbol, bytes)                                              \
    __asm__(".section " name ",\"a\",@progbits\n\t.previous");                                  \
    __attribute__((section(name), used, aligned(alignment))) static const char symbol[] __asm__( \
        TAVIK_STRING(symbol)) = bytes

/* The command record: what the command does, and how it is called. */
#define TAVIK_COMMAND_RECORD(description, usage) \
    TAVIK_RECORD_(TAVIK_COMMAND_SECTION, TAVIK_COMMAND_ALIGN, TAVIK_COMMAND_SYMBOL, \
                  TAVIK_COMMAND_MAGIC TAVIK_RECORD_VERSION_BYTES description "\0" usage "\0")

/* The package record: the package's name, and its second string (the system's commands carry "2"). */
#define TAVIK_PACKAGE_RECORD(name, second) \
    TAVIK_RECORD_(TAVIK_PACKAGE_SECTION, TAVIK_PACKAGE_ALIGN, TAVIK_PACKAGE_SYMBOL, \
                  TAVIK_PACKAGE_MAGIC TAVIK_RECORD_VERSION_BYTES name "\0" second "\0")

#endif
