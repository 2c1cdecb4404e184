/* The debug-information guest, in C over two files: a store that crashes in its parser when a key starts with
   '!'. Built with -g -O0; the fault report's lines and frames are checked against this text. */
#include <string.h>

#include "kv_store.h"

static int kv_parse(struct kv *out, const char *text)
{
    int *bad = 0;
    if (text[0] == '!')
        *bad = 1; /* FAULT */
    strcpy(out->key, text);
    return 0;
}

int kv_load(struct kv *out, const char *text)
{
    int r = kv_parse(out, text); /* CALL kv_parse */
    return r + 1;
}
