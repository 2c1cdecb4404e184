/* The error texts, their order of tests, and errno at start. */
#include <errno.h>
#include <string.h>

#include "tt.h"

int main()
{
    TT_EQ(errno, 0);
    TT_STR_EQ(strerror(0), "ok");
    TT_STR_EQ(strerror(2), "no such file");
    TT_STR_EQ(strerror(22), "invalid argument");
    TT_STR_EQ(strerror(38), "not implemented");
    const int others[] = {12, 1, 3, 21, 23, 37, 39, -2, -22, 0x7fffffff, -0x7fffffff - 1};
    for (int code : others)
        TT_STR_EQ(strerror(code), "error");
    TT_CHECK(strerror(38) == strerror(38));
    TT_CHECK(strerror(1) == strerror(-22));
    TT_CHECK(strerror(0) != strerror(2));
    TT_EQ(errno, 0);
    return tt_summary();
}
