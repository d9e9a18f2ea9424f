#include "alloc.h"
#include "byte.h"

int alloc_re(void *pp, uint32_t m, uint32_t n) {
  char **x = static_cast<char **>(pp);
  char *y = static_cast<char *>(alloc(n));
  if (!y) return 0;
  byte_copy(y, m, *x);
  alloc_free(*x);
  *x = y;
  return 1;
}
