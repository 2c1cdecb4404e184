/* memory_errors: one memory error of each kind, picked by argv[1]; "clean" uses the heap correctly. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#pragma GCC diagnostic ignored "-Wdangling-pointer" /* the point of the "stack" case */

static char *block(unsigned size)
{
    return malloc(size); /* the allocation line */
}

/* The address of a local of a frame that has returned. */
static int *volatile g_gone;
static __attribute__((noinline)) void leave_local(void)
{
    int local[32];
    local[0] = 1;
    g_gone = local;
}

int main(int argc, char **argv)
{
    const char *what = argc > 1 ? argv[1] : "clean";
    char *p = block(10);
    if (!strcmp(what, "after"))
        p[10] = 1; /* the write after */
    else if (!strcmp(what, "before"))
        return p[-1]; /* the read before */
    else if (!strcmp(what, "freed")) {
        free(p);
        return p[3]; /* the read after free */
    } else if (!strcmp(what, "memset"))
        memset(p, 0, 11); /* the library overruns */
    else if (!strcmp(what, "double")) {
        free(p);
        free(p); /* the second free */
    } else if (!strcmp(what, "wild"))
        free((void *)0x1234); /* the wild free */
    else if (!strcmp(what, "realloc"))
        p = realloc(p + 2, 20); /* the interior realloc */
    else if (!strcmp(what, "header"))
        ((unsigned *)p)[-1] = 1000; /* the header overwritten */
    else if (!strcmp(what, "call"))
        write(1, p, 11); /* the call that reads past */
    else if (!strcmp(what, "stack")) {
        leave_local();
        return g_gone[0]; /* the read below the stack pointer */
    }
    else if (!strcmp(what, "loop")) {
        for (int i = 0; i < 100; ++i)
            p[10 + (i & 1)] = 0; /* one site, many errors */
    } else {
        char *q = calloc(4, 4);
        q = realloc(q, 64);
        memset(q, 1, 64);
        strcpy(p, "123456789");
        free(q);
        free(p);
        free(NULL);
    }
    return 0;
}
