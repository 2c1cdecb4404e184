/* calltree: a known call tree for exact profiles. Each instruction is a line of its own; the comments give how
   often each runs. main calls mid 3 times, leaf once and tail once; mid calls leaf twice; tail jumps to leaf (a
   tail call); leaf loops twice. Leaf costs 6 instructions a call, mid 15 with its calls, tail 7, main 74. */
	.text
	.globl main
	.type main, @function
main:
	push %ebx            /* 1 */
	mov $3, %ebx         /* 1 */
1:	call mid             /* 3 */
	dec %ebx             /* 3 */
	jnz 1b               /* 3 */
	call leaf            /* 1 */
	call tail            /* 1 */
	pop %ebx             /* 1 */
	xor %eax, %eax       /* 1 */
	ret                  /* 1 */
	.size main, . - main

	.type mid, @function
mid:
	call leaf            /* 3 */
	call leaf            /* 3 */
	ret                  /* 3 */
	.size mid, . - mid

	.type tail, @function
tail:
	jmp leaf             /* 1 */
	.size tail, . - tail

	.type leaf, @function
leaf:
	mov $2, %ecx         /* 8 */
2:	dec %ecx             /* 16 */
	jnz 2b               /* 16 */
	ret                  /* 8 */
	.size leaf, . - leaf
	.section .note.GNU-stack, "", @progbits
