#include <stdio.h>

#include "merlox.h"

int main(void) {
  printf("%u card numbers in use\n", GetNumCards());
  return 0;
}
