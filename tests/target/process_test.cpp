/* Process-level services: atexit records nothing, getenv knows no name. How the process ends is checked on the
 * exit status by the process_* tests of process.cmake. */
#include <stdlib.h>

#include "tt.h"

static int g_handler_calls;

static void handler(void)
{
    g_handler_calls++;
    write(1, "handler ran\n", 12);
}

int main()
{
    TT_EQ(atexit(handler), 0);
    TT_EQ(atexit(nullptr), 0);
    TT_CHECK(getenv("PATH") == nullptr);
    TT_CHECK(getenv("") == nullptr);
    TT_CHECK(getenv(nullptr) == nullptr);
    /* getenv must not read its argument: a pointer into unmapped memory is harmless. */
    TT_CHECK(getenv(reinterpret_cast<const char *>(0x10)) == nullptr);
    TT_EQ(g_handler_calls, 0);
    return tt_summary();
}
