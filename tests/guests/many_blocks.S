/* many_blocks: a million distinct blocks, each run once (a jump to the next instruction ends each). Exits 0. */
	.section .text.tavik_start, "ax"
	.globl _start
_start:
	.rept 1000000
	jmp 1f
1:
	.endr
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80
	.section .note.GNU-stack, "", @progbits
