/* faults: raises the fault that argv[1][0] names, each at a global label so a report can be checked against it.
   n null store, r null load, x call into unmapped memory, j jump to 0, w store to read-only data,
   e execute writable data, u ud2, h hlt, c cli, i in, o out, N int $0x21, d divide by zero, b int3,
   B int $3, y sysenter, Y syscall, s stack overflow, l endless loop, t rdtsc twice (edx:eax pairs written to stdout), k halt loop
   after an _exit that returns. No argument: exit 0. */
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
done:
	mov $2, %eax
	xor %ebx, %ebx
	int $0x80

	.text
	.globl fault_null_store, fault_null_load, fault_call_unmapped, fault_rodata_store, fault_ud2, fault_hlt
	.globl fault_cli, fault_in, fault_out, fault_int21, fault_divide, fault_int3, fault_int_3, fault_recurse
	.globl endless, tsc, halt_loop, fault_jump_zero, exit_halt, fault_sysenter, fault_syscall
fault_null_store:
	movl $0, 0
	ud2
fault_null_load:
	mov 0, %eax
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

	.section .rodata
ro_word:
	.long 0

	.data
	.globl data_code
data_code:
	ret
pair:
	.long 0, 0, 0, 0
