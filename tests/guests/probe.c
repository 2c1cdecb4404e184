/* probe: a guest that makes the system calls its arguments spell, so that host tests can drive any call with
   any registers and read the outcome off the trace. Commands, one per argument:
     p:OFF:TEXT       copy TEXT (escapes \n \t \0 \\ \xNN) and a NUL to scratch+OFF
     m:OFF:COUNT:BYTE fill COUNT bytes at scratch+OFF with BYTE
     s:CALL:A:B:C     system call CALL (its name, or a number) with ebx, ecx, edx = A, B, C
     o:OFF:LEN        write(1, scratch+OFF, LEN)
     w:OFF:VALUE      store the 32-bit VALUE at scratch+OFF
     a                write each argument and a line feed, then "end\n" if argv[argc] is a null pointer
     q:STATUS         _exit(STATUS)
   Number tokens: decimal or 0x hex, optionally negative; &N is scratch+N; !N is N bytes before the end of the
   scratch area, which is followed by unmapped memory; ^N is read-only data+N; $K is the result of call K. */

#include <tavik/abi.h>

#include "bare_start.h"

#define SCRATCH_SIZE (64 * 4096)

static const struct {
  const char* name;
  unsigned nr;
} calls[] = {
#define TAVIK_CALL(nr, name, a, b, c, result) {#name, nr},
#include <tavik/calls.def>
#undef TAVIK_CALL
};

__attribute__((aligned(4096))) static char scratch[SCRATCH_SIZE];
static const char rodata[64] = "read-only";
static int results[256] = {1};
/* In .data, so that the scratch area is all of .bss and ends where the mapping ends. */
__attribute__((section(".data"))) static int result_count;
static int g_argc = 1;
static char** g_argv = (char**)1;

static int sys3(int nr, int a, int b, int c) {
  int ret;
  __asm__ volatile("int $0x80" : "=a"(ret) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
  return ret;
}

static int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Parses one token up to ':' or the end; returns the position after it. */
static const char* number(const char* s, unsigned* out) {
  char kind = 0;
  if (*s == '&' || *s == '!' || *s == '^' || *s == '$') kind = *s++;
  int neg = 0;
  if (*s == '-') {
    neg = 1;
    ++s;
  }
  unsigned v = 0;
  if (s[0] == '0' && s[1] == 'x') {
    s += 2;
    for (; hexval(*s) >= 0; ++s) v = v * 16 + (unsigned)hexval(*s);
  } else {
    for (; *s >= '0' && *s <= '9'; ++s) v = v * 10 + (unsigned)(*s - '0');
  }
  if (neg) v = 0u - v;
  if (kind == '&') v += (unsigned)scratch;
  if (kind == '!') v = (unsigned)scratch + SCRATCH_SIZE - v;
  if (kind == '^') v += (unsigned)rodata;
  if (kind == '$') v = (unsigned)results[v & 255];
  if (*s == ':') ++s;
  *out = v;
  return s;
}

static void poke(unsigned off, const char* s) {
  char* d = scratch + off;
  while (*s) {
    if (*s == '\\' && s[1]) {
      ++s;
      if (*s == 'n') *d++ = '\n';
      else if (*s == 't') *d++ = '\t';
      else if (*s == '0') *d++ = '\0';
      else if (*s == 'x' && hexval(s[1]) >= 0 && hexval(s[2]) >= 0) {
        *d++ = (char)(hexval(s[1]) * 16 + hexval(s[2]));
        s += 2;
      } else *d++ = *s;
      ++s;
      continue;
    }
    *d++ = *s++;
  }
  *d = '\0';
}

/* A call named by the list, up to ':'; anything else is a number token. */
static const char* call_number(const char* s, unsigned* out) {
  for (unsigned i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
    const char* n = calls[i].name;
    const char* t = s;
    while (*n && *n == *t) ++n, ++t;
    if (*n == 0 && (*t == ':' || *t == 0)) {
      *out = calls[i].nr;
      return *t ? t + 1 : t;
    }
  }
  return number(s, out);
}

static void command(const char* c) {
  unsigned a, b, x, y;
  char op = c[0];
  const char* s = c + 2;
  if (op == 'p') {
    s = number(s, &a);
    poke(a, s);
  } else if (op == 'm') {
    s = number(s, &a);
    s = number(s, &b);
    number(s, &x);
    for (unsigned i = 0; i < b; ++i) scratch[a + i] = (char)x;
  } else if (op == 's') {
    s = call_number(s, &a);
    s = number(s, &b);
    s = number(s, &x);
    number(s, &y);
    results[result_count++ & 255] = sys3((int)a, (int)b, (int)x, (int)y);
  } else if (op == 'o') {
    s = number(s, &a);
    number(s, &b);
    sys3(TAVIK_NR_write, 1, (int)(scratch + a), (int)b);
  } else if (op == 'w') {
    s = number(s, &a);
    number(s, &b);
    *(unsigned*)(scratch + a) = b;
  } else if (op == 'a') {
    for (int i = 0; i < g_argc; ++i) {
      int n = 0;
      while (g_argv[i][n]) ++n;
      sys3(TAVIK_NR_write, 1, (int)g_argv[i], n);
      sys3(TAVIK_NR_write, 1, (int)"\n", 1);
    }
    if (g_argv[g_argc] == 0) sys3(TAVIK_NR_write, 1, (int)"end\n", 4);
  } else if (op == 'q') {
    number(s, &a);
    sys3(TAVIK_NR__exit, (int)a, 0, 0);
  }
}

__attribute__((used)) int guest_main(int argc, char** argv) {
  g_argc = argc;
  g_argv = argv;
  for (int i = 1; i < argc; ++i) command(argv[i]);
  sys3(TAVIK_NR__exit, 0, 0, 0);
  for (;;) {
  }
}
