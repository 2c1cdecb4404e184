/* path_bomb: line programs small on disk and large if read naively. The first names 30,000 five-byte files, each
   joined by a reader to the unit's 60,000-byte compile folder (1.8 GB of paths); the second is 10 MB of one-byte
   rows (10 million rows). Both units cover the code, so a stop reads them too. Exits 0. */
	.section .text.tavik_start, "ax"
	.globl _start
	.type _start, @function
_start:
	nop
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80
	.size _start, . - _start
code_end:

	.section .debug_abbrev, "", @progbits
	.uleb128 1, 0x11, 0       /* 1: DW_TAG_compile_unit, no children */
	.uleb128 0x10, 0x17       /* DW_AT_stmt_list, DW_FORM_sec_offset */
	.uleb128 0x1b, 0x08       /* DW_AT_comp_dir, DW_FORM_string */
	.uleb128 0x11, 0x01       /* DW_AT_low_pc, DW_FORM_addr */
	.uleb128 0x12, 0x06       /* DW_AT_high_pc, DW_FORM_data4 */
	.uleb128 0, 0, 0

	.section .debug_info, "", @progbits
	.macro unit program
	.long 2f - 1f
1:	.short 4                  /* version */
	.long 0                   /* abbreviations */
	.byte 4                   /* address size */
	.uleb128 1
	.long \program
	.fill 60000, 1, 'd'
	.byte 0
	.long _start
	.long code_end - _start
2:
	.endm
units:
	unit (paths-lines)
rows_unit:
	unit (rows-lines)

	.section .debug_aranges, "", @progbits  /* how a reader finds the unit of an address */
	.macro ranges unit
	.long 12 + 4 + 16         /* unit length */
	.short 2                  /* version */
	.long \unit
	.byte 4, 0                /* address size, no segments */
	.long 0                   /* padding to a pair */
	.long _start, code_end - _start
	.long 0, 0
	.endm
	ranges (rows_unit-units)
	ranges 0

	.section .debug_line, "", @progbits
lines:
	.macro header files
	.long 4f - 1f             /* unit length */
1:	.short 4
	.long 3f - 2f             /* header length */
2:	.byte 1, 1, 1, -5, 14, 13 /* instruction length, ops, default_is_stmt, line base, line range, opcode base */
	.byte 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1
	.byte 0                   /* no include folders */
	.rept \files
	.asciz "f.c"
	.uleb128 0, 0, 0          /* in the compile folder */
	.endr
	.byte 0
3:	.byte 0, 5, 2             /* DW_LNE_set_address */
	.long _start
	.endm
paths:
	header 30000
	.byte 1                   /* DW_LNS_copy: a row for the code */
	.byte 2                   /* DW_LNS_advance_pc over it */
	.uleb128 code_end - _start
	.byte 0, 1, 1             /* DW_LNE_end_sequence */
4:
rows:
	header 1
	.fill 10000000, 1, 18     /* special opcode: a row, no address or line advance */
	.byte 2
	.uleb128 code_end - _start
	.byte 0, 1, 1
4:
	.section .note.GNU-stack, "", @progbits
