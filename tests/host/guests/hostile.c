/* hostile: a guest that misbehaves on purpose, one way per first argument, for the limit, torture and
   atomicity suites:
     loop          spins for ever
     fill PATH     creates PATH and writes 64 KiB blocks to it until a write fails; exits with -result
     yes           writes "y\n" to descriptor 1 until a write fails; exits with -result
     hold          reads descriptor 0 until its end (a child that stays alive until the test lets it go)
     wide          spawns "/hostile hold" until a spawn fails; exits with the number spawned
     deep          spawns "/hostile deep" and waits for it; exits with 1 when the spawn fails, else with the
                   child's status + 1
     bigw PATH C   writefile PATH with 64 MiB of byte C
     bigs PATH C   the same through tavikfs_stream_begin/write/end, in 1 MiB pieces
     torture       every call number with wild pointers, huge counts, bad descriptors; exits 0 if it returns */

#define BIG (64u << 20)

static unsigned char big[BIG];
static const char rodata[64] = "read-only";
static char small[256];
static const char* hold_argv[] = {"hostile", "hold"};
static const char* deep_argv[] = {"hostile", "deep"};

static int sys3(int nr, int a, int b, int c) {
  int ret;
  __asm__ volatile("int $0x80" : "=a"(ret) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
  return ret;
}

static int same(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

static void fill(const char* path) {
  int fd = sys3(4, (int)path, 0x241, 0);
  if (fd < 0) sys3(2, 100, 0, 0);
  for (;;) {
    int r = sys3(1, fd, (int)big, 65536);
    if (r < 0) sys3(2, -r, 0, 0);
  }
}

static void yes(void) {
  for (;;) {
    int r = sys3(1, 1, (int)"y\n", 2);
    if (r < 0) sys3(2, -r, 0, 0);
  }
}

static void hold(void) {
  while (sys3(3, 0, (int)small, 1) > 0) {
  }
}

static int wide(void) {
  int n = 0;
  while (sys3(131, (int)"/hostile", (int)hold_argv, 2) > 0) ++n;
  return n;
}

static int deep(void) {
  int pid = sys3(131, (int)"/hostile", (int)deep_argv, 2);
  if (pid < 0) return 1;
  int status = 0;
  if (sys3(132, pid, (int)&status, 0) != pid) return 200;
  return ((status >> 8) & 0xff) + 1;
}

static void pattern(unsigned char c) {
  unsigned word = c * 0x01010101u;
  for (unsigned i = 0; i < BIG / 4; ++i) ((unsigned*)big)[i] = word;
}

static int bigs(const char* path) {
  int h = sys3(53, (int)path, 0, 0);
  if (h < 0) return 100;
  for (unsigned at = 0; at < BIG; at += 1u << 20)
    if (sys3(54, h, (int)(big + at), 1 << 20) != 1 << 20) return 101;
  return sys3(55, h, 0, 0) == 0 ? 0 : 102;
}

/* Pointers no call may harm the host with: null, the top of the address space, an unmapped page, read-only
   data, a range straddling the end of the data mapping and of the stack, the read-only system page. */
static unsigned pointers[] = {0, 0xFFFFFFFFu, 0x1000, (unsigned)rodata, 0, 0xBFFFFFFEu, 0xFFFFF000u, 0x7FFFFFFFu};
static const unsigned numbers[] = {0, 1, 2, 3, 1023, 1024, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFEu, 65536};
static const unsigned calls[] = {1, 3, 4, 5, 6, 21, 49, 50, 51, 52, 53, 54, 55, 95, 110, 124, 125, 126, 127,
                                 128, 129, 130, 131, 132, 0, 7, 200, 0xFFFFFFFFu, 0x80000000u};

static void torture(void) {
  pointers[4] = (unsigned)big + BIG - 2;
  unsigned values[sizeof pointers / 4 + sizeof numbers / 4];
  unsigned n = 0;
  for (unsigned i = 0; i < sizeof pointers / 4; ++i) values[n++] = pointers[i];
  for (unsigned i = 0; i < sizeof numbers / 4; ++i) values[n++] = numbers[i];
  for (unsigned c = 0; c < sizeof calls / 4; ++c)
    for (unsigned a = 0; a < n; ++a)
      for (unsigned b = 0; b < n; ++b)
        for (unsigned d = 0; d < n; ++d) sys3((int)calls[c], (int)values[a], (int)values[b], (int)values[d]);
  /* usleep with a huge count is a real wait; a short one is enough to show it returns. */
  sys3(22, 1, 0, 0);
}

__attribute__((used)) static int hostile_main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* mode = argv[1];
  if (same(mode, "loop"))
    for (;;) {
    }
  if (same(mode, "fill") && argc > 2) fill(argv[2]);
  if (same(mode, "yes")) yes();
  if (same(mode, "hold")) hold();
  if (same(mode, "wide")) return wide();
  if (same(mode, "deep")) return deep();
  if (same(mode, "bigw") && argc > 3) {
    pattern((unsigned char)argv[3][0]);
    return sys3(21, (int)argv[2], (int)big, (int)BIG) == 0 ? 0 : 100;
  }
  if (same(mode, "bigs") && argc > 3) {
    pattern((unsigned char)argv[3][0]);
    return bigs(argv[2]);
  }
  if (same(mode, "torture")) torture();
  return 0;
}

__asm__(
    ".section .text.tavik_start, \"ax\"\n"
    ".globl _start\n"
    "_start:\n"
    "  mov (%esp), %eax\n"
    "  lea 4(%esp), %ecx\n"
    "  and $-16, %esp\n"
    "  sub $8, %esp\n"
    "  push %ecx\n"
    "  push %eax\n"
    "  call hostile_main\n"
    "  mov %eax, %ebx\n"
    "  mov $2, %eax\n"
    "  int $0x80\n"
    "  hlt\n"
    ".text\n");
