/* syscall.h: the raw kernel entry, one helper per argument count. Only the wrappers in unistd and fcntl use it. */
#ifndef TAVIK_SYSCALL_H
#define TAVIK_SYSCALL_H

/* Call number in eax, arguments in ebx, ecx, edx, result in eax. The kernel keeps esp, ebp, esi and edi, but
   ebx, ecx and edx are not relied upon afterwards, so every argument register is declared as changed. */

static inline int sys_call0(int nr)
{
    int result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(nr) : "ebx", "ecx", "edx", "memory");
    return result;
}

static inline int sys_call1(int nr, unsigned int a1)
{
    int result;
    __asm__ volatile("int $0x80" : "=a"(result), "+b"(a1) : "a"(nr) : "ecx", "edx", "memory");
    return result;
}

static inline int sys_call2(int nr, unsigned int a1, unsigned int a2)
{
    int result;
    __asm__ volatile("int $0x80" : "=a"(result), "+b"(a1), "+c"(a2) : "a"(nr) : "edx", "memory");
    return result;
}

static inline int sys_call3(int nr, unsigned int a1, unsigned int a2, unsigned int a3)
{
    int result;
    __asm__ volatile("int $0x80" : "=a"(result), "+b"(a1), "+c"(a2), "+d"(a3) : "a"(nr) : "memory");
    return result;
}

/* Byte counts above this are passed as this, so that a count always fits the signed result. */
static inline unsigned int sys_clamp_count(unsigned int count)
{
    return count > 0x7fffffffu ? 0x7fffffffu : count;
}

static inline unsigned int sys_ptr(const void *p)
{
    return (unsigned int)(unsigned long)p;
}

#endif
