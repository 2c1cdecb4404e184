/* _start for the guests that link no library: argc and argv to guest_main, whose result is the exit status. */
#include <tavik/abi.h>

int guest_main(int argc, char** argv);

_Static_assert(TAVIK_NR__exit == 2, "_start below ends with call 2");

__asm__(
    ".section .text.tavik_start, \"ax\"\n"
    ".globl _start\n"
    "_start:\n"
    "  mov (%esp), %eax\n"
    "  lea 4(%esp), %ecx\n"
    "  and $-16, %esp\n"
    "  sub $8, %esp\n"
    "  push %ecx\n"
    "  push %eax\n"
    "  call guest_main\n"
    "  mov %eax, %ebx\n"
    "  mov $2, %eax\n"
    "  int $0x80\n"
    "  hlt\n"
    ".text\n");
