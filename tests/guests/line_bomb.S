/* line_bomb: debug information small on disk and large if read naively: 20,000 compile units that all name one
   line program of 40,000 rows (about 25 GB of rows read once per unit; 40,000 read once). Exits 0. */
	.section .text.tavik_start, "ax"
	.globl _start
	.type _start, @function
_start:
	.file 1 "bomb.c"
	.rept 40000
	.loc 1 1
	nop
	.endr
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80
	.size _start, . - _start

	.section .debug_abbrev, "", @progbits
	.uleb128 1, 0x11, 0       /* 1: DW_TAG_compile_unit, no children */
	.uleb128 0x10, 0x17       /* DW_AT_stmt_list, DW_FORM_sec_offset */
	.uleb128 0, 0, 0

	.section .debug_info, "", @progbits
	.rept 20000
	.long 12                  /* unit length */
	.short 4                  /* version */
	.long 0                   /* abbreviations */
	.byte 4                   /* address size */
	.uleb128 1
	.long 0                   /* the one line program */
	.endr
	.section .note.GNU-stack, "", @progbits
