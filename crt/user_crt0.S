/* user_crt0: _start, the first bytes of every tavik command. */
    .section .text.tavik_start, "ax", @progbits
    .globl _start
    .type _start, @function
_start:
    /* The kernel leaves argc at the stack pointer and the argument pointers inline above it. */
    movl    (%esp), %eax
    leal    4(%esp), %ecx
    /* main's return address must lie on a 16-byte boundary: align, then one pad word, then the two arguments. */
    andl    $-16, %esp
    subl    $4, %esp
    pushl   %ecx
    pushl   %eax
    call    main
    pushl   %eax
    call    _exit
.hang:
    jmp     .hang
    .size _start, . - _start
    .section .note.GNU-stack, "", @progbits
