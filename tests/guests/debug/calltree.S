/* calltree: a known call tree for exact profiles. Each instruction is a line of its own; the comments give how
   often each runs. main calls mid 3 times and leaf once, mid calls leaf twice, leaf loops twice: leaf costs 6
   instructions a call, mid 15 with its calls, main 66. */
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

	.type leaf, @function
leaf:
	mov $2, %ecx         /* 7 */
2:	dec %ecx             /* 14 */
	jnz 2b               /* 14 */
	ret                  /* 7 */
	.size leaf, . - leaf
	.section .note.GNU-stack, "", @progbits
