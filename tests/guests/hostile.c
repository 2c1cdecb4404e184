/* hostile: a guest that misbehaves on purpose, one way per first argument, for the limit, torture and
   atomicity suites:
     loop          spins for ever
     fill PATH     creates PATH and writes 64 KiB blocks to it until a write fails; exits with -result (of the
                   open, when that fails)
     yes           writes "y\n" to descriptor 1 until a write fails; exits with -result
     hold          reads descriptor 0 until its end (a child that stays alive until the test lets it go)
     drain PATH    opens PATH for reading and reads it to its end; exits 0, or with -result of what failed
     wide          spawns "/hostile hold" until a spawn fails; exits with the number spawned
     deep          spawns "/hostile deep" and waits for it; exits with 1 when the spawn fails, else with the
                   child's status + 1
     spawn PATH    spawns PATH and waits for it; exits with -result when the spawn fails, else the child's status
     bigw PATH C   writefile PATH with 64 MiB of byte C
     bigs PATH C   the same through tavikfs_stream_begin/write/end, in 1 MiB pieces
     calls         writes to descriptor 1 the numbers of the calls tavik-run knows, found by asking (see known_calls)
     orphan        spawns "/hostile loop" and exits 0 without waiting
     tree          spawns "/hostile tree" (while it may) and spins for ever
     pipefill [nb] writes 128 KiB into a pipe of its own nobody reads (nb: marked non-blocking first); exits with
                   the KiB written, or with -result
     child MODE [ARG]  spawns "/hostile MODE ARG" and waits; exits with its status, or 128 + its signal
     streamfault PATH  begins a streamed write of PATH, writes to it, then faults
     streamhang PATH   the same, then spins for ever
     torture       checks that calls writing guest memory refuse bad buffers, then makes every known call and some
                   unknown ones with wild pointers, huge counts and bad descriptors; exits 0 if all that returns
                   and no read-only byte changed, else with the number of the check that failed.
   Run torture in a root of its own holding this image as /hostile: the read-only text below is a valid path,
   so the calls create, fill and remove a file of that name there. */

#include <tavik/abi.h>

#include "bare_start.h"

#define BIG (64u << 20)

static unsigned char big[BIG];
static const char rodata[64] = "read-only";
/* In .data, so that big is all of .bss and ends, page-rounded, where the data mapping ends. */
__attribute__((section(".data"))) static char small[256];
static const char* hold_argv[] = {"hostile", "hold"};
static const char* deep_argv[] = {"hostile", "deep"};
static const char* loop_argv[] = {"hostile", "loop"};
static const char* tree_argv[] = {"hostile", "tree"};

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
  int fd = sys3(TAVIK_NR_open, (int)path, 0x241, 0);
  if (fd < 0) sys3(TAVIK_NR__exit, -fd, 0, 0);
  for (;;) {
    int r = sys3(TAVIK_NR_write, fd, (int)big, 65536);
    if (r < 0) sys3(TAVIK_NR__exit, -r, 0, 0);
  }
}

static void yes(void) {
  for (;;) {
    int r = sys3(TAVIK_NR_write, 1, (int)"y\n", 2);
    if (r < 0) sys3(TAVIK_NR__exit, -r, 0, 0);
  }
}

static void hold(void) {
  while (sys3(TAVIK_NR_read, 0, (int)small, 1) > 0) {
  }
}

static int wide(void) {
  int n = 0;
  while (sys3(TAVIK_NR_spawn, (int)"/hostile", (int)hold_argv, 2) > 0) ++n;
  return n;
}

static int deep(void) {
  int pid = sys3(TAVIK_NR_spawn, (int)"/hostile", (int)deep_argv, 2);
  if (pid < 0) return 1;
  int status = 0;
  if (sys3(TAVIK_NR_waitpid, pid, (int)&status, 0) != pid) return 200;
  return ((status >> 8) & 0xff) + 1;
}

static void pattern(unsigned char c) {
  unsigned word = c * 0x01010101u;
  for (unsigned i = 0; i < BIG / 4; ++i) ((unsigned*)big)[i] = word;
}

static int bigs(const char* path) {
  int h = sys3(TAVIK_NR_tavikfs_stream_begin, (int)path, 0, 0);
  if (h < 0) return 100;
  for (unsigned at = 0; at < BIG; at += 1u << 20)
    if (sys3(TAVIK_NR_tavikfs_stream_write, h, (int)(big + at), 1 << 20) != 1 << 20) return 101;
  return sys3(TAVIK_NR_tavikfs_stream_end, h, 0, 0) == 0 ? 0 : 102;
}

static int pipefill(int nonblock) {
  int ends[2];
  if (sys3(TAVIK_NR_pipe, (int)ends, 0, 0) != 0) return 100;
  if (nonblock && sys3(TAVIK_NR_fd_set_nonblock, ends[1], 1, 0) != 0) return 101;
  int r = sys3(TAVIK_NR_write, ends[1], (int)big, 128 * 1024);
  return r > 0 ? r / 1024 : -r;
}

static int child(int argc, char** argv) {
  const char* args[4] = {"hostile", argv[2], argc > 3 ? argv[3] : "", 0};
  int pid = sys3(TAVIK_NR_spawn, (int)"/hostile", (int)args, argc > 3 ? 3 : 2);
  if (pid < 0) return 100;
  int status = 0;
  if (sys3(TAVIK_NR_waitpid, pid, (int)&status, 0) != pid) return 101;
  return status & 0x7f ? 128 + (status & 0x7f) : (status >> 8) & 0xff;
}

static void streamfault(const char* path, int hang) {
  int h = sys3(TAVIK_NR_tavikfs_stream_begin, (int)path, 0, 0);
  sys3(TAVIK_NR_tavikfs_stream_write, h, (int)"partial", 7);
  while (hang) {
  }
  *(volatile int*)0 = h;
}

static int drain(const char* path) {
  int fd = sys3(TAVIK_NR_open, (int)path, 0, 0);
  if (fd < 0) return -fd;
  int r;
  while ((r = sys3(TAVIK_NR_read, fd, (int)small, sizeof small)) > 0) {
  }
  return -r;
}

static int spawn(const char* path) {
  const char* argv[] = {path};
  int pid = sys3(TAVIK_NR_spawn, (int)path, (int)argv, 1);
  if (pid < 0) return -pid;
  int status = 0;
  if (sys3(TAVIK_NR_waitpid, pid, (int)&status, 0) != pid) return 200;
  return (status >> 8) & 0xff;
}

/* The first address past the data mapping: big is all of .bss, and the mapping ends on its last page. */
static unsigned data_end(void) { return ((unsigned)big + BIG + 4095u) & ~4095u; }

static unsigned checksum(unsigned addr, unsigned len) {
  unsigned h = 2166136261u;
  for (unsigned i = 0; i < len; ++i) h = (h ^ ((const unsigned char*)addr)[i]) * 16777619u;
  return h;
}

/* Checksums of what the guest may read but not write: the read-only data page and the system page. */
static unsigned read_only_sum(void) {
  return checksum((unsigned)rodata & ~4095u, 4096) ^ checksum(0xFFFFF000u, 4096);
}

/* Calls that write guest memory, each set up so that only its buffer is wrong: they answer -14, write nothing
   and consume nothing; a buffer that runs into unmapped memory takes what fits. 0 when all hold, else the
   number of the first check that failed. */
static int bad_buffers(void) {
  unsigned end = data_end();
  int ends[2] = {-1, -1};
  if (sys3(TAVIK_NR_pipe, (int)ends, 0, 0) != 0) return 10;
  if (sys3(TAVIK_NR_write, ends[1], (int)"abcdefgh", 8) != 8) return 11;
  const unsigned refused[] = {(unsigned)rodata, 0xFFFFF000u, 0, 0xFFFFFFFFu, 0x1000, end};
  for (unsigned i = 0; i < sizeof refused / 4; ++i)
    if (sys3(TAVIK_NR_read, ends[0], (int)refused[i], 4) != -14) return 12;
  if (sys3(TAVIK_NR_read, ends[0], (int)(end - 2), 4) != 2) return 13;
  if (((char*)end)[-2] != 'a' || ((char*)end)[-1] != 'b') return 14;
  if (sys3(TAVIK_NR_read, ends[0], (int)small, 8) != 6 || !same(small, "cdefgh")) return 15;

  /* getcwd's "/" and its NUL need two bytes: one before the end is one too few. */
  const unsigned no_cwd[] = {(unsigned)rodata, 0xFFFFF000u, 0, 0xFFFFFFFFu, end - 1};
  for (unsigned i = 0; i < sizeof no_cwd / 4; ++i)
    if (sys3(TAVIK_NR_getcwd, (int)no_cwd[i], 64, 0) != -14) return 20;
  if (((char*)end)[-1] != 'b') return 21;

  /* A refused pipe takes no descriptors: the next one gets the numbers right after the first pair. */
  const unsigned no_pair[] = {(unsigned)rodata, 0xFFFFF000u, 0, end - 4};
  for (unsigned i = 0; i < sizeof no_pair / 4; ++i)
    if (sys3(TAVIK_NR_pipe, (int)no_pair[i], 0, 0) != -14) return 30;
  int again[2] = {-1, -1};
  if (sys3(TAVIK_NR_pipe, (int)again, 0, 0) != 0 || again[0] != ends[1] + 1) return 31;
  for (unsigned i = 0; i < 2; ++i) {
    sys3(TAVIK_NR_close, ends[i], 0, 0);
    sys3(TAVIK_NR_close, again[i], 0, 0);
  }

  /* A wait that cannot store the status leaves the child to a later wait. The child, with no mode, exits 2. */
  int pid = sys3(TAVIK_NR_spawn, (int)"/hostile", (int)hold_argv, 1);
  if (pid <= 0) return 40;
  const unsigned no_status[] = {(unsigned)rodata, 0xFFFFF000u, 0xFFFFFFFFu, end - 2};
  for (unsigned i = 0; i < sizeof no_status / 4; ++i)
    if (sys3(TAVIK_NR_waitpid, pid, (int)no_status[i], 0) != -14) return 41;
  int status = -1;
  if (sys3(TAVIK_NR_waitpid, pid, (int)&status, 0) != pid || status != 2 << 8) return 42;
  return 0;
}

#define PROBED 1024

/* The call numbers below PROBED that tavik-run answers with anything but -38 (no such call) when every argument
   is -1, and _exit and usleep, which are known without asking (the one would end the guest, the other sleep
   for an hour). Fills known[] and returns how many. */
__attribute__((section(".data"))) static unsigned known[PROBED];

static unsigned known_calls(void) {
  unsigned n = 0;
  for (unsigned nr = 0; nr < PROBED; ++nr) {
    if (nr == 2 || (nr == 22 && sys3(TAVIK_NR_usleep, 0, 0, 0) == 0) || (nr != 22 && sys3((int)nr, -1, -1, -1) != -38))
      known[n++] = nr;
  }
  return n;
}

static void print_number(unsigned v) {
  char text[12];
  unsigned at = sizeof text;
  text[--at] = ' ';
  do text[--at] = (char)('0' + v % 10);
  while ((v /= 10) != 0);
  sys3(TAVIK_NR_write, 1, (int)(text + at), (int)(sizeof text - at));
}

/* Pointers no call may harm the host with: null, the top of the address space, an unmapped page, read-only
   data, the whole zero-initialised area, ranges straddling the end of the data mapping and of the stack, the
   read-only system page, and one just below the 2 GiB line. */
__attribute__((section(".data"))) static unsigned pointers[] = {
    0, 0xFFFFFFFFu, 0x1000, (unsigned)rodata, (unsigned)big, 0, 0xBFFFFFFEu, 0xFFFFF000u, 0x7FFFFFFFu};
static const unsigned numbers[] = {0, 1, 2, 3, 1023, 1024, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFEu, 65536};
static const unsigned strangers[] = {7, 200, PROBED, 0xFFFFFFFFu, 0x80000000u};

static void every_argument(unsigned nr) {
  pointers[5] = data_end() - 2;
  unsigned values[sizeof pointers / 4 + sizeof numbers / 4];
  unsigned n = 0;
  for (unsigned i = 0; i < sizeof pointers / 4; ++i) values[n++] = pointers[i];
  for (unsigned i = 0; i < sizeof numbers / 4; ++i) values[n++] = numbers[i];
  for (unsigned a = 0; a < n; ++a)
    for (unsigned b = 0; b < n; ++b)
      for (unsigned d = 0; d < n; ++d) sys3((int)nr, (int)values[a], (int)values[b], (int)values[d]);
}

static int torture(void) {
  unsigned sum = read_only_sum();
  int failed = bad_buffers();
  if (failed) return failed;
  unsigned n = known_calls();
  for (unsigned i = 0; i < n; ++i) {
    /* usleep with a huge count is a real wait; a short one is enough to show it returns. */
    if (known[i] == 22) sys3(TAVIK_NR_usleep, 1, 0, 0);
    else if (known[i] != 2) every_argument(known[i]);
  }
  for (unsigned i = 0; i < sizeof strangers / 4; ++i) every_argument(strangers[i]);
  return read_only_sum() == sum ? 0 : 50;
}

__attribute__((used)) int guest_main(int argc, char** argv) {
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
    return sys3(TAVIK_NR_writefile, (int)argv[2], (int)big, (int)BIG) == 0 ? 0 : 100;
  }
  if (same(mode, "bigs") && argc > 3) {
    pattern((unsigned char)argv[3][0]);
    return bigs(argv[2]);
  }
  if (same(mode, "drain") && argc > 2) return drain(argv[2]);
  if (same(mode, "orphan")) return sys3(TAVIK_NR_spawn, (int)"/hostile", (int)loop_argv, 2) > 0 ? 0 : 100;
  if (same(mode, "tree")) {
    sys3(TAVIK_NR_spawn, (int)"/hostile", (int)tree_argv, 2);
    for (;;) {
    }
  }
  if (same(mode, "pipefill")) return pipefill(argc > 2);
  if (same(mode, "child") && argc > 2) return child(argc, argv);
  if (same(mode, "streamfault") && argc > 2) streamfault(argv[2], 0);
  if (same(mode, "streamhang") && argc > 2) streamfault(argv[2], 1);
  if (same(mode, "spawn") && argc > 2) return spawn(argv[2]);
  if (same(mode, "calls")) {
    unsigned n = known_calls();
    for (unsigned i = 0; i < n; ++i) print_number(known[i]);
    return 0;
  }
  if (same(mode, "torture")) return torture();
  return 0;
}
