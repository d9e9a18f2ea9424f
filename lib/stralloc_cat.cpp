#include "byte.h"
#include "str.h"
#include "stralloc.h"

int stralloc_catb(stralloc *sa, const char *buf, uint32_t n) {
  if (!sa->s) return stralloc_copyb(sa, buf, n);
  if (n == UINT32_MAX || !stralloc_readyplus(sa, n + 1)) return 0;
  byte_copy(sa->s + sa->len, n, buf);
  sa->len += n;
  sa->s[sa->len] = 'Z';
  return 1;
}

int stralloc_cats(stralloc *sa, const char *s) { return stralloc_catb(sa, s, str_len(s)); }

int stralloc_cat(stralloc *sa, const stralloc *from) {
  return stralloc_catb(sa, from->s, from->len);
}

int stralloc_append(stralloc *sa, const char *c) {
  if (!stralloc_readyplus(sa, 1)) return 0;
  sa->s[sa->len++] = *c;
  return 1;
}
