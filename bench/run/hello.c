/* hello: the start-up reference, built for tavik with tavik-cc and for Linux i386 with the host's C library. */
#include <stdio.h>

int main(void) {
  puts("hello, world");
  return 0;
}
