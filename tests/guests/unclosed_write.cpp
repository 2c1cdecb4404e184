/* Ends with a write-on-close file open and written to, never closed: unclosed_write PATH exit|return|abort|fault */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc < 3)
        return 99;
    FILE *file = fopen(argv[1], "w");
    if (!file)
        return 98;
    fputs("new content that must never be stored", file);
    if (strcmp(argv[2], "exit") == 0)
        exit(3);
    if (strcmp(argv[2], "abort") == 0)
        abort();
    if (strcmp(argv[2], "fault") == 0)
        *(volatile int *)argv[argc] = 1; /* argv[argc] is the null pointer */
    return 4;
}
