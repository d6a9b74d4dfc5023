/* The floor of a poll: a C program that starts, prints one line and ends. */
#include <stdio.h>

int main(void) {
  puts("hello, world");
  return 0;
}
