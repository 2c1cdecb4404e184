/* hello: the sample command. Prints one line and exits with the status given as its first argument (default 0). */
#include <unistd.h>

static int parse_status(const char *text)
{
    int sign = 1;
    int value = 0;
    if (*text == '-') {
        sign = -1;
        text++;
    }
    for (; *text >= '0' && *text <= '9'; text++)
        value = value * 10 + (*text - '0');
    return sign * value;
}

int main(int argc, char **argv)
{
    static const char line[] = "hello from tavik\n";
    write(1, line, sizeof line - 1);
    return argc > 1 ? parse_status(argv[1]) : 0;
}
