/* Reading the standard input byte by byte and in blocks: positions, the end of input, and the indicators. Runs
 * with stream_stdin.in as its standard input (stream.cmake). */
#include <stdio.h>

#include "tt.h"

int main()
{
    TT_EQ(getchar(), 'A');
    TT_EQ(fgetc(stdin), 'B');
    /* A byte of 0xFF is data, not the end. */
    TT_EQ(getchar(), 0xFF);
    TT_EQ(g_stdin.pos, 3);
    TT_EQ(feof(stdin), 0);

    FILE *in = fopen("-", "r");
    TT_CHECK(in == stdin);
    char buf[16] = {};
    TT_EQ(fread(buf, 5, 3, in), 2);
    TT_STR_EQ(buf, "Chello world\n");
    TT_EQ(g_stdin.pos, 16);
    TT_EQ(feof(stdin), 1);

    rewind(stdin);
    TT_EQ(feof(stdin), 0);
    TT_EQ(g_stdin.pos, 16);
    TT_EQ(getchar(), -1);
    TT_EQ(feof(stdin), 1);
    TT_EQ(getchar(), -1);
    TT_EQ(fread(buf, 1, 1, stdin), 0);
    TT_EQ(g_stdin.pos, 16);
    TT_EQ(ferror(stdin), 0);
    /* Reading goes on while the indicator is set; only fseek or rewind clears it. */
    TT_EQ(feof(stdin), 1);
    TT_EQ(fclose(in), 0);
    TT_EQ(getchar(), -1);
    return tt_summary();
}
