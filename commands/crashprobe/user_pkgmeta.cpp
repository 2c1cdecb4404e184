/* user_pkgmeta: the package record of the crashprobe command. */
#include <tavik/records.h>

TAVIK_PACKAGE_RECORD("crashprobe", "2");
static_assert(sizeof g_pkgmeta_0 == 22, "the package record is 22 bytes");
