/* kv_main: loads its first argument as a key; "!x" faults in the parser, "spin" spins until a limit stops it. */
#include <stdio.h>
#include <string.h>

#include "kv_store.h"

static void spin(void)
{
    for (volatile int i = 0;; i++) {
    }
}

int main(int argc, char **argv)
{
    struct kv one;
    if (argc > 1 && strcmp(argv[1], "spin") == 0)
        spin(); /* CALL spin */
    printf("%d\n", kv_load(&one, argc > 1 ? argv[1] : "x")); /* CALL kv_load */
    return 0;
}
