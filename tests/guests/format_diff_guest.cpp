/* The guest half of the buffer formatter's differential test: each input line is a case
 *   SIZE \t FORMAT [\t ARG]...   with ARG one of i<signed decimal>, u<unsigned decimal>, s<text>
 * and each output line is the formatter's result and the hex of the whole array, SIZE + 4 bytes that start as
 * 0xA5, so stored bytes, the terminator and the untouched rest are all compared. */
#include <stdio.h>
#include <unistd.h>

static char g_input[1 << 20];
static char g_array[512];

static const unsigned int g_max_words = 12;

static unsigned int parse_unsigned(const char *s)
{
    unsigned int v = 0;
    while (*s >= '0' && *s <= '9')
        v = v * 10u + (unsigned int)(*s++ - '0');
    return v;
}

static unsigned int parse_word(char *field)
{
    if (field[0] == 's')
        return (unsigned int)(unsigned long)(field + 1);
    if (field[0] == 'i' && field[1] == '-')
        return 0u - parse_unsigned(field + 2);
    return parse_unsigned(field + 1);
}

/* Cuts the line at its tabs; returns the number of fields. */
static unsigned int split(char *line, char **fields, unsigned int most)
{
    unsigned int n = 0;
    fields[n++] = line;
    for (char *p = line; *p && n < most; p++) {
        if (*p == '\t') {
            *p = '\0';
            fields[n++] = p + 1;
        }
    }
    return n;
}

static void put_result(int result, unsigned int size)
{
    static const char s_hex[] = "0123456789abcdef";
    char line[16 + 2 * sizeof g_array + 2];
    int n = snprintf(line, 16, "%d ", result);
    for (unsigned int i = 0; i < size + 4; i++) {
        unsigned char c = (unsigned char)g_array[i];
        line[n++] = s_hex[c >> 4];
        line[n++] = s_hex[c & 15];
    }
    line[n++] = '\n';
    write(1, line, (unsigned int)n);
}

static void run_case(char *line)
{
    char *fields[2 + g_max_words];
    unsigned int nfields = split(line, fields, 2 + g_max_words);
    if (nfields < 2) {
        write(1, "bad case\n", 9);
        return;
    }
    unsigned int size = parse_unsigned(fields[0]);
    if (size + 4 > sizeof g_array)
        size = sizeof g_array - 4;
    unsigned int w[g_max_words] = {};
    for (unsigned int i = 2; i < nfields; i++)
        w[i - 2] = parse_word(fields[i]);
    for (unsigned int i = 0; i < sizeof g_array; i++)
        g_array[i] = (char)0xA5;
    int result = snprintf(g_array, size, fields[1], w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9],
                          w[10], w[11]);
    put_result(result, size);
}

int main(void)
{
    unsigned int len = 0;
    for (;;) {
        int n = read(0, g_input + len, sizeof g_input - 1 - len);
        if (n <= 0)
            break;
        len += (unsigned int)n;
    }
    g_input[len] = '\0';
    char *line = g_input;
    for (unsigned int i = 0; i < len; i++) {
        if (g_input[i] != '\n')
            continue;
        g_input[i] = '\0';
        run_case(line);
        line = g_input + i + 1;
    }
    return 0;
}
