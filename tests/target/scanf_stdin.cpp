/* fscanf over stdin word by word: one word and its separator per call, long words cut at 255 bytes, a last word
   without a separator, and -1 with eof set once the input is used up. */
#include <stdio.h>

#include "tt.h"

static unsigned int text_length(const char *s)
{
    unsigned int n = 0;
    while (s[n])
        n++;
    return n;
}

int main()
{
    int a = 0;
    int b = 0;
    /* "  12 34\nhello\tworld\r\n" then 300 'a', " 7x\n", "last" */
    TT_EQ(fscanf(stdin, "%d %d", &a, &b), 1);
    TT_EQ(a, 12);
    TT_EQ(b, 0);
    TT_EQ(fscanf(stdin, "%d", &b), 1);
    TT_EQ(b, 34);
    TT_EQ(stdin->pos, 8);
    static char word[400];
    TT_EQ(fscanf(stdin, "%s", word), 1);
    TT_STR_EQ(word, "hello");
    TT_EQ(fscanf(stdin, "%s", word), 1);
    TT_STR_EQ(word, "world");
    TT_EQ(stdin->pos, 20);
    TT_EQ(fscanf(stdin, "%s", word), 1);
    TT_EQ(text_length(word), 255u);
    TT_CHECK(word[0] == 'a' && word[254] == 'a');
    TT_EQ(stdin->pos, 20 + 1 + 300 + 1);
    TT_EQ(fscanf(stdin, "%d%s", &a, word), 2);
    TT_EQ(a, 7);
    TT_STR_EQ(word, "x");
    TT_EQ(stdin->eof, 0);
    TT_EQ(fscanf(stdin, "%s", word), 1);
    TT_STR_EQ(word, "last");
    TT_EQ(stdin->eof, 1);
    TT_EQ(fscanf(stdin, "%s", word), -1);
    TT_EQ(stdin->eof, 1);
    TT_EQ(stdin->pos, 322 + 3 + 4);
    TT_EQ(stdin->err, 0);
    return tt_summary();
}
