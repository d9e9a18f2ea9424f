#include "getln.h"

#include "byte.h"

int getln(substdio *ss, stralloc *sa, int *match, int sep) {
  if (!stralloc_ready(sa, 0)) return -1;
  sa->len = 0;
  for (;;) {
    const int n = substdio_feed(ss);
    if (n < 0) return -1;
    if (n == 0) {
      *match = 0;
      return 0;
    }
    const char *x = substdio_peek(ss);
    const uint32_t i = byte_chr(x, static_cast<uint32_t>(n), sep);
    if (i < static_cast<uint32_t>(n)) {
      if (!stralloc_catb(sa, x, i + 1)) return -1;
      substdio_seek(ss, static_cast<int>(i + 1));
      *match = 1;
      return 0;
    }
    // No separator yet: take everything and refill.
    if (!stralloc_catb(sa, x, static_cast<uint32_t>(n))) return -1;
    substdio_seek(ss, n);
  }
}
