/* Built with -g: a fault inside the library (memset through a null pointer) is reported with the library's own
 * source line and frame, then the program's. */
#include <cstring>

int main(int argc, char **)
{
    char *nowhere = argc > 5 ? new char[4] : nullptr;
    std::memset(nowhere, 1, 10);
    return 0;
}
