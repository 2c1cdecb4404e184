/* x87: writes three 80-bit extended results to stdout (1/3, the square root of 2, and a 64-bit integer that a
   double cannot hold) so that a host test can compare them bit for bit. */
	.section .text.tavik_start, "ax"
	.globl _start
_start:
	fld1
	fildl three
	fdivrp
	fstpt out
	fildl two
	fsqrt
	fstpt out+10
	fildll big
	fstpt out+20
	mov $1, %eax
	mov $1, %ebx
	mov $out, %ecx
	mov $30, %edx
	int $0x80
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80

	.section .rodata
three:	.long 3
two:	.long 2
big:	.quad 0x7ffffffffffffff7

	.bss
out:	.space 32
