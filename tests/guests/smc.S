/* smc: code that writes code. Run from an image whose text segment the test made writable:
     r N   rewrites the immediate of an instruction N times, each time just before running it, and writes the
           sum of what that instruction loaded (4 bytes) to stdout
     c     copies a small function onto the stack and calls it (the stack is not executable: an exec fault)
     k     reads a function into its text through the file /code twice, calling it each time (it returns 1,
           then 2): exits 10 * the first + the second
   Exits 0 otherwise. */
	.section .text.tavik_start, "ax"
	.globl _start
_start:
	mov 8(%esp), %esi
	movzbl (%esi), %eax
	cmp $'r', %al
	jne not_rewrite
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

not_rewrite:
	cmp $'c', %al
	je on_stack
	mov $code_one, %ecx
	call load_and_run
	mov %eax, %edi
	mov $code_two, %ecx
	call load_and_run
	imul $10, %edi
	lea (%edi, %eax), %ebx
	mov $2, %eax
	int $0x80

/* Writes the 6 bytes at ecx to /code, reads them into `loaded` and calls it. */
load_and_run:
	mov $21, %eax
	mov $code_path, %ebx
	mov $6, %edx
	int $0x80
	mov $4, %eax
	xor %ecx, %ecx
	xor %edx, %edx
	int $0x80
	mov %eax, %esi
	mov $3, %eax
	mov %esi, %ebx
	mov $loaded, %ecx
	mov $6, %edx
	int $0x80
	mov $5, %eax
	mov %esi, %ebx
	int $0x80
	call loaded
	ret
loaded:
	.byte 0x90, 0x90, 0x90, 0x90, 0x90, 0xc3

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
code_one:	.byte 0xb8, 1, 0, 0, 0, 0xc3	/* mov $1, %eax; ret */
code_two:	.byte 0xb8, 2, 0, 0, 0, 0xc3
code_path:	.asciz "/code"
