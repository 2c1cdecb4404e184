/* small: a minimal tavik command for start-up cost: one line on stdout, exit 0. */
	.section .text.tavik_start, "ax"
	.globl _start
_start:
	mov $1, %eax
	mov $1, %ebx
	mov $msg, %ecx
	mov $13, %edx
	int $0x80
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80
	hlt
	.section .rodata
msg:	.ascii "hello, world\n"
