/* user_pkgmeta: the package record of the crashprobe command. */

/* "TPKG", version word 1, the package name, the second package string, end byte. Nothing refers to it, so it is
 * marked used; the assembler directive makes its section alloc-only PROGBITS, and the symbol keeps its plain name. */
__asm__(".section .tavik.pkgmeta,\"a\",@progbits\n\t.previous");
__attribute__((section(".tavik.pkgmeta"), used, aligned(4)))
static const char g_pkgmeta_0[22] __asm__("g_pkgmeta_0") = "TPKG" "\x01" "\0\0\0" "crashprobe" "\0" "2" "\0";
static_assert(sizeof g_pkgmeta_0 == 22, "the package record is 22 bytes");
