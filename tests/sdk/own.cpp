/* A command of one's own, in C++. */
#include <unistd.h>

namespace {
constexpr char g_text[] = "own: c++\n";
}

int main()
{
    write(1, g_text, sizeof g_text - 1);
    return 0;
}
