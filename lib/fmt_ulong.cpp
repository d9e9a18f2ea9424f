#include "fmt.h"

uint32_t fmt_ulong(char *s, uint64_t u) {
  uint32_t len = 1;
  for (uint64_t q = u; q > 9; q /= 10) ++len;
  if (s) {
    s += len;
    do {
      *--s = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
  }
  return len;
}
