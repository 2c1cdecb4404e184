/* crashprobe_argv: crashprobe's main run with argument vectors no kernel lays out: a zero or negative count, or a
 * null first argument. The first argument of this program picks the vector; its status is main's. */
#include <string.h>

extern "C" int crashprobe_main(int argc, char **argv);

int main(int argc, char **argv)
{
    static char name[] = "crashprobe";
    static char yes[] = "yes";
    char *with_yes[] = {name, yes, nullptr};
    char *null_first[] = {name, nullptr, yes, nullptr};
    if (argc < 2)
        return 100;
    if (strcmp(argv[1], "zero") == 0)
        return crashprobe_main(0, with_yes);
    if (strcmp(argv[1], "negative") == 0)
        return crashprobe_main(-1, with_yes);
    if (strcmp(argv[1], "null") == 0)
        return crashprobe_main(2, null_first);
    if (strcmp(argv[1], "null3") == 0)
        return crashprobe_main(3, null_first);
    if (strcmp(argv[1], "yes") == 0)
        return crashprobe_main(2, with_yes);
    return 101;
}
