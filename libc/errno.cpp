/* errno: the error indicator and the texts of the error codes. */
#include <errno.h>

extern "C" {

int errno;

/* The texts live in read-only data; the result type is char * only because that is the familiar interface. */
static char *error_text(const char *text)
{
    return const_cast<char *>(text);
}

char *strerror(int code)
{
    if (code == EINVAL)
        return error_text("invalid argument");
    if (code > EINVAL)
        return error_text(code == ENOSYS ? "not implemented" : "error");
    if (code == 0)
        return error_text("ok");
    return error_text(code == ENOENT ? "no such file" : "error");
}

}
