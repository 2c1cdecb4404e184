/* dwarf_bomb: debug information a reader must not trust: its compile unit nests 30,000 lexical blocks around the
   code (a recursive walk of the scopes overflows any stack), and its source file's name holds a line break, lcov
   records and a terminal escape. Faults at once (a store to address 0). */
	.section .text.tavik_start, "ax"
	.globl _start
	.type _start, @function
_start:
	.file 1 "x.c\nend_of_record\nSF:/etc/passwd\nDA:1,1\x1b[2J"
	.loc 1 1
	movl $1, 0
	.size _start, . - _start
code_end:

	.section .debug_abbrev, "", @progbits
	.uleb128 1, 0x11, 1       /* 1: DW_TAG_compile_unit, children */
	.uleb128 0x10, 0x17       /* DW_AT_stmt_list, DW_FORM_sec_offset */
	.uleb128 0x11, 0x01       /* DW_AT_low_pc, DW_FORM_addr */
	.uleb128 0x12, 0x06       /* DW_AT_high_pc, DW_FORM_data4 */
	.uleb128 0, 0
	.uleb128 2, 0x0b, 1       /* 2: DW_TAG_lexical_block, children */
	.uleb128 0x11, 0x01
	.uleb128 0x12, 0x06
	.uleb128 0, 0, 0

	.section .debug_info, "", @progbits
	.long info_end - info_start
info_start:
	.short 4                  /* version */
	.long 0                   /* abbreviations */
	.byte 4                   /* address size */
	.uleb128 1
	.long 0                   /* the line program */
	.long _start
	.long code_end - _start
	.rept 30000
	.uleb128 2
	.long _start
	.long code_end - _start
	.endr
	.rept 30001
	.byte 0                   /* the end of each block's children, and of the unit's */
	.endr
info_end:

	.section .debug_aranges, "", @progbits
	.long aranges_end - aranges_start
aranges_start:
	.short 2
	.long 0                   /* the unit */
	.byte 4, 0
	.long 0                   /* padding to twice the address size */
	.long _start, code_end - _start
	.long 0, 0
aranges_end:
	.section .note.GNU-stack, "", @progbits
