/* smc: code that writes code. Run from an image whose text segment the test made writable:
     r N   rewrites the immediate of an instruction N times, each time just before running it, and writes the
           sum of what that instruction loaded (4 bytes) to stdout
     c     copies a small function onto the stack and calls it (the stack is not executable: an exec fault)
   Exits 0. */
	.section .text.tavik_start, "ax"
	.globl _start
_start:
	mov 8(%esp), %esi
	movzbl (%esi), %eax
	cmp $'c', %al
	je on_stack
	mov 12(%esp), %esi        /* N in decimal */
	xor %ecx, %ecx
digits:
	movzbl (%esi), %eax
	inc %esi
	sub $'0', %eax
	jb counted
	imul $10, %ecx
	add %eax, %ecx
	jmp digits
counted:
	xor %ebx, %ebx
rewrite:
	mov %ecx, site + 1        /* the immediate of the mov below */
	.globl site
site:
	mov $0, %eax
	add %eax, %ebx
	loop rewrite
	mov %ebx, sum
	mov $1, %eax
	mov $1, %ebx
	mov $sum, %ecx
	mov $4, %edx
	int $0x80
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80

on_stack:
	sub $16, %esp
	mov tiny, %eax
	mov %eax, (%esp)
	call *%esp
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80
tiny:
	ret
	nop
	nop
	nop

	.data
sum:	.long 0
