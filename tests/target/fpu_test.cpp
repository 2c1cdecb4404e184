/* A process starts with the FPU as fninit leaves it: extended precision, round to nearest, exceptions masked,
 * every register empty. strtold's results depend on the precision. */
#include "tt.h"

int main()
{
    unsigned short control = 0;
    unsigned int environment[7] = {};
    __asm__ volatile("fnstcw %0" : "=m"(control));
    __asm__ volatile("fnstenv %0\n\tfldcw %1" : "=m"(environment) : "m"(control));
    TT_EQ(control, 0x037f);
    TT_EQ(environment[2] & 0xffff, 0xffff);
    return tt_summary();
}
