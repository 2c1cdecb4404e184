/* hello: the reference program for start-up cost, built with the host's 32-bit C library. */
#include <stdio.h>

int main(void) {
  puts("hello, world");
  return 0;
}
