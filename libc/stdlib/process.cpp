/* process: ending the process, and the services a command might expect beside it. */
#include <stdlib.h>
#include <unistd.h>

extern "C" {

/* Ends the process at once: no handlers run and no stream is closed or flushed. */
void exit(int status)
{
    _exit(status);
}

/* Ends the process with status 1; no message, no signal. */
void abort(void)
{
    _exit(1);
}

/* Records nothing: the process runs no handlers at its end. */
int atexit(void (*fn)(void))
{
    (void)fn;
    return 0;
}

/* The runtime keeps no environment. */
char *getenv(const char *name)
{
    (void)name;
    return nullptr;
}

}
