/* faults: raises the fault that argv[1][0] names, each at a global label so a report can be checked against it.
   n null store, r null load, T load across the top of the 4 GiB, x call into unmapped memory, j jump to 0, w store to read-only data,
   e execute writable data, u ud2, h hlt, c cli, i in, o out, N int $0x21, d divide by zero, b int3,
   B int $3, y sysenter, Y syscall, s stack overflow, l endless loop, t rdtsc twice (edx:eax pairs written to stdout), k halt loop
   after an _exit that returns. No argument: exit 0.
   Faults in the middle of a block (M + a letter): each sets ecx to 6 first and would set it to 99 after, so a
   report must show ecx 6 and eip at the mid_* label: Ms null store, Ml null load, Ma add to memory, Mi inc of
   memory, Mx xchg with memory, Mm movs from unmapped memory, Mt stos to unmapped memory, Mp push and Mc call
   with esp in unmapped memory, Mu ud2, Md divide error, Mb int3, Mh hlt, Mn in, Mo out, MN int $0x21. */
	.section .text.tavik_start, "ax"
	.globl _start
_start:
	mov (%esp), %eax
	cmp $2, %eax
	jl done
	mov 8(%esp), %eax
	movzbl (%eax), %eax
	cmp $'n', %al ; je fault_null_store
	cmp $'r', %al ; je fault_null_load
	cmp $'x', %al ; je do_call_unmapped
	cmp $'j', %al ; je do_jump_zero
	cmp $'w', %al ; je fault_rodata_store
	cmp $'e', %al ; je do_exec_data
	cmp $'u', %al ; je fault_ud2
	cmp $'h', %al ; je fault_hlt
	cmp $'c', %al ; je fault_cli
	cmp $'i', %al ; je fault_in
	cmp $'o', %al ; je fault_out
	cmp $'N', %al ; je fault_int21
	cmp $'d', %al ; je do_divide
	cmp $'b', %al ; je fault_int3
	cmp $'B', %al ; je fault_int_3
	cmp $'s', %al ; je fault_recurse
	cmp $'l', %al ; je endless
	cmp $'t', %al ; je tsc
	cmp $'k', %al ; je halt_loop
	cmp $'y', %al ; je fault_sysenter
	cmp $'Y', %al ; je fault_syscall
	cmp $'M', %al ; je mid_block
	cmp $'T', %al ; je fault_top_load
done:
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80

	.text
	.globl fault_null_store, fault_null_load, fault_top_load, fault_call_unmapped, fault_rodata_store, fault_ud2, fault_hlt
	.globl fault_cli, fault_in, fault_out, fault_int21, fault_divide, fault_int3, fault_int_3, fault_recurse
	.globl endless, tsc, halt_loop, fault_jump_zero, exit_halt, fault_sysenter, fault_syscall
fault_null_store:
	movl $0, 0
	ud2
fault_null_load:
	mov 0, %eax
	ud2
fault_top_load:
	mov 0xfffffffe, %eax
	ud2
do_call_unmapped:
	mov $0x12345000, %eax
fault_call_unmapped:
	call *%eax
do_jump_zero:
	xor %eax, %eax
fault_jump_zero:
	jmp *%eax
fault_rodata_store:
	movl $1, ro_word
	ud2
do_exec_data:
	mov $data_code, %eax
	jmp *%eax
fault_ud2:
	ud2
fault_hlt:
	hlt
fault_cli:
	cli
	ud2
fault_in:
	in $0x60, %al
	ud2
fault_out:
	out %al, $0x80
	ud2
fault_int21:
	int $0x21
	ud2
do_divide:
	mov $1, %eax
	xor %edx, %edx
	xor %ecx, %ecx
fault_divide:
	div %ecx
	ud2
fault_int3:
	int3
	ud2
fault_int_3:
	int $3
	ud2
fault_sysenter:
	sysenter
	ud2
fault_syscall:
	syscall
	ud2
fault_recurse:
	push %eax
	call fault_recurse
endless:
	jmp endless
tsc:
	rdtsc
	mov %eax, pair
	mov %edx, pair+4
	rdtsc
	mov %eax, pair+8
	mov %edx, pair+12
	mov $1, %eax
	mov $1, %ebx
	mov $pair, %ecx
	mov $16, %edx
	int $0x80
	jmp done
halt_loop:
	mov $2, %eax
	mov $3, %ebx
	int $0x80
exit_halt:
	hlt
	jmp exit_halt

/* The mid-block faults: one block from the dispatch below up to the fault. */
mid_block:
	mov 8(%esp), %eax
	movzbl 1(%eax), %eax
	cmp $'s', %al ; je mid_s
	cmp $'l', %al ; je mid_l
	cmp $'a', %al ; je mid_a
	cmp $'i', %al ; je mid_i
	cmp $'x', %al ; je mid_x
	cmp $'m', %al ; je mid_m
	cmp $'t', %al ; je mid_t
	cmp $'p', %al ; je mid_p
	cmp $'c', %al ; je mid_c
	cmp $'u', %al ; je mid_u
	cmp $'d', %al ; je mid_d
	cmp $'b', %al ; je mid_b
	cmp $'h', %al ; je mid_h
	cmp $'n', %al ; je mid_n
	cmp $'o', %al ; je mid_o
	cmp $'N', %al ; je mid_N
	jmp done
	.globl mid_store, mid_load, mid_add, mid_inc, mid_xchg, mid_movs, mid_stos, mid_push, mid_call, mid_ud2
	.globl mid_divide, mid_int3, mid_hlt, mid_in, mid_out, mid_int21
mid_s:	xor %eax, %eax ; mov $5, %ecx ; add $1, %ecx
mid_store:
	movb $0, (%eax) ; mov $99, %ecx ; jmp done
mid_l:	xor %eax, %eax ; mov $5, %ecx ; add $1, %ecx
mid_load:
	mov (%eax), %edx ; mov $99, %ecx ; jmp done
mid_a:	xor %eax, %eax ; mov $5, %ecx ; add $1, %ecx
mid_add:
	add %ecx, (%eax) ; mov $99, %ecx ; jmp done
mid_i:	xor %eax, %eax ; mov $5, %ecx ; add $1, %ecx
mid_inc:
	incl (%eax) ; mov $99, %ecx ; jmp done
mid_x:	xor %eax, %eax ; mov $5, %ecx ; add $1, %ecx
mid_xchg:
	xchg %edx, (%eax) ; mov $99, %ecx ; jmp done
mid_m:	mov $0x10, %esi ; mov $ro_word, %edi ; mov $5, %ecx ; add $1, %ecx
mid_movs:
	movsl ; mov $99, %ecx ; jmp done
mid_t:	mov $0x20, %edi ; mov $5, %ecx ; add $1, %ecx
mid_stos:
	stosl ; mov $99, %ecx ; jmp done
mid_p:	mov $0x1000, %esp ; mov $5, %ecx ; add $1, %ecx
mid_push:
	push %eax ; mov $99, %ecx ; jmp done
mid_c:	mov $0x1000, %esp ; mov $5, %ecx ; add $1, %ecx
mid_call:
	call done ; mov $99, %ecx ; jmp done
mid_u:	mov $5, %ecx ; add $1, %ecx
mid_ud2:
	ud2 ; mov $99, %ecx ; jmp done
mid_d:	xor %ebx, %ebx ; mov $5, %ecx ; add $1, %ecx
mid_divide:
	div %ebx ; mov $99, %ecx ; jmp done
mid_b:	mov $5, %ecx ; add $1, %ecx
mid_int3:
	int3 ; mov $99, %ecx ; jmp done
mid_h:	mov $5, %ecx ; add $1, %ecx
mid_hlt:
	hlt ; mov $99, %ecx ; jmp done
mid_n:	mov $5, %ecx ; add $1, %ecx
mid_in:
	in $0x60, %al ; mov $99, %ecx ; jmp done
mid_o:	mov $5, %ecx ; add $1, %ecx
mid_out:
	out %al, $0x80 ; mov $99, %ecx ; jmp done
mid_N:	mov $5, %ecx ; add $1, %ecx
mid_int21:
	int $0x21 ; mov $99, %ecx ; jmp done

	.section .rodata
ro_word:
	.long 0

	.data
	.globl data_code
data_code:
	ret
pair:
	.long 0, 0, 0, 0
