#include "alloc.h"
#include "stralloc.h"

namespace {
int grow(stralloc *sa, uint64_t need) {
  if (need > UINT32_MAX) return 0;
  if (sa->a >= need) return 1;
  // One eighth and 30 bytes of headroom, so that appends are amortised.
  const uint64_t a = need + (need >> 3) + 30;
  if (a > UINT32_MAX) return 0;
  if (!alloc_re(&sa->s, sa->a, static_cast<uint32_t>(a))) return 0;
  sa->a = static_cast<uint32_t>(a);
  return 1;
}

int first(stralloc *sa, uint32_t n) {
  sa->s = static_cast<char *>(alloc(n));
  if (!sa->s) return 0;
  sa->len = 0;
  sa->a = n;
  return 1;
}
} // namespace

int stralloc_ready(stralloc *sa, uint32_t n) {
  if (!sa->s) return first(sa, n);
  return grow(sa, n);
}

int stralloc_readyplus(stralloc *sa, uint32_t n) {
  if (!sa->s) return first(sa, n);
  return grow(sa, uint64_t{sa->len} + n);
}
