/* loop: a CPU-bound guest for the speed benchmark, built twice from this one source: as a tavik image and as
   a plain Linux i386 static program, so that both emulators run the same instructions. */
#ifdef LINUX_I386
#define NR_WRITE 4
#define NR_EXIT 1
#else
#define NR_WRITE 1
#define NR_EXIT 2
#endif

static int sys3(int nr, int a, int b, int c) {
  int ret;
  __asm__ volatile("int $0x80" : "=a"(ret) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
  return ret;
}

__attribute__((used, noinline)) static void loop_main(void) {
  unsigned x = 1, sum = 0;
  for (unsigned i = 0; i < ITERATIONS; ++i) {
    x = x * 1103515245u + 12345u;
    sum += (x >> 16) ^ i;
    if ((sum & 0xff) == 7) sum += i >> 3;
  }
  char digits[12];
  int n = 0;
  do digits[10 - n++] = (char)('0' + sum % 10), sum /= 10;
  while (sum);
  digits[11] = '\n';
  sys3(NR_WRITE, 1, (int)(digits + 11 - n), n + 1);
  sys3(NR_EXIT, 0, 0, 0);
}

__asm__(".section .text.tavik_start, \"ax\"\n"
        ".globl _start\n"
        "_start:\n"
        "  and $-16, %esp\n"
        "  call loop_main\n"
        "  hlt\n"
        ".text\n");
