/* address_errors: one error of each kind the address sanitizer tells, picked by argv[1]; "clean" is correct. */
#include <stdlib.h>
#include <string.h>

static char g_table[10];
static char *volatile g_keep;

static char *block(unsigned size)
{
    return malloc(size); /* the allocation line */
}

static __attribute__((noinline)) int on_stack(int i)
{
    char local[12];
    memset(local, 0, sizeof local);
    g_keep = local;
    return local[i]; /* the stack read */
}

int main(int argc, char **argv)
{
    const char *what = argc > 1 ? argv[1] : "clean";
    volatile int i = 10;
    char *p = block(10);
    if (!strcmp(what, "heap"))
        p[i] = 1; /* the heap write */
    else if (!strcmp(what, "freed")) {
        free(p);
        return p[3]; /* the read after free */
    } else if (!strcmp(what, "global"))
        return g_table[i + 2]; /* the global read */
    else if (!strcmp(what, "stack"))
        return on_stack(i + 2);
    else if (!strcmp(what, "memset"))
        memset(p, 0, 11); /* the library overruns */
    else if (!strcmp(what, "double")) {
        free(p);
        free(p); /* the second free */
    } else if (!strcmp(what, "wild"))
        (void)realloc(g_table + 2, 20); /* the wild realloc */
    else {
        strcpy(p, "123456789");
        g_table[9] = p[9];
        free(p);
        return on_stack(11) + g_table[9];
    }
    return 0;
}
