/* crashprobe_uelf: the crashprobe command, which makes its own process fault on demand, and its command record. */
#include <stdio.h>
#include <string.h>
#include <tavik/records.h>

/* The command record for the tools that read images. */
TAVIK_COMMAND_RECORD("Trigger an assertion failure (ASSERT).", "crashprobe yes");
static_assert(sizeof g_cmdmeta_0 == 63, "the command record is 63 bytes");

static const char g_usage[] = "Usage: crashprobe yes";

/* A store through a null pointer is undefined behaviour in C++: the optimiser may drop it, or drop whatever it
 * decides cannot follow it. Written in assembly it stays exactly as the kernel must see it: the 32-bit store of 0
 * to address 0, and right behind it the undefined-instruction trap, which faults should the store ever complete.
 * Nothing follows the trap. */
[[noreturn]] static void raise_fault(void)
{
    __asm__ volatile("movl $0, 0\n\tud2" ::: "memory");
    __builtin_unreachable();
}

/* Prints the usage line for "-h" (status 0) and for every unusable command line (status 1); "yes" faults. */
extern "C" int main(int argc, char **argv)
{
    if (argc <= 1) {
        puts(g_usage);
        return 1;
    }
    if (!argv[1]) {
        puts(g_usage);
        return 1;
    }
    if (strcmp(argv[1], "-h") == 0) {
        puts(g_usage);
        return 0;
    }
    if (strcmp(argv[1], "yes") == 0) {
        puts("crashprobe: triggering deliberate crash");
        raise_fault();
    }
    puts(g_usage);
    return 1;
}
