#include "byte.h"
#include "str.h"
#include "stralloc.h"

int stralloc_copyb(stralloc *sa, const char *buf, uint32_t n) {
  if (n == UINT32_MAX || !stralloc_ready(sa, n + 1)) return 0;
  byte_copy(sa->s, n, buf);
  sa->len = n;
  sa->s[n] = 'Z'; // marks the end without pretending to be a terminator
  return 1;
}

int stralloc_copys(stralloc *sa, const char *s) { return stralloc_copyb(sa, s, str_len(s)); }

int stralloc_copy(stralloc *sa, const stralloc *from) {
  return stralloc_copyb(sa, from->s, from->len);
}
