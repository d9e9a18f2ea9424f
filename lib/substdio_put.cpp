#include "byte.h"
#include "error.h"
#include "str.h"
#include "substdio.h"

namespace {
constexpr int DIRECT_MIN = 8192;

int allwrite(substdio_op op, int fd, const char *buf, int len) {
  while (len > 0) {
    // The operation does not write into buf; see substdio_op.
    const ssize_t w = op(fd, const_cast<char *>(buf), static_cast<size_t>(len));
    if (w == -1) {
      if (errno == error_intr) continue;
      return -1;
    }
    buf += w;
    len -= static_cast<int>(w);
  }
  return 0;
}
} // namespace

int substdio_flush(substdio *s) {
  const int p = s->pos;
  if (!p) return 0;
  s->pos = 0;
  return allwrite(s->op, s->fd, s->x, p);
}

int substdio_put(substdio *s, const char *buf, int len) {
  if (len <= s->size - s->pos) {
    byte_copy(s->x + s->pos, static_cast<uint32_t>(len), buf);
    s->pos += len;
    return 0;
  }
  if (substdio_flush(s) == -1) return -1;
  // Large writes go straight from the caller's memory.
  int chunk = s->size < DIRECT_MIN ? DIRECT_MIN : s->size;
  while (len > s->size) {
    if (len < chunk) chunk = len;
    if (allwrite(s->op, s->fd, buf, chunk) == -1) return -1;
    buf += chunk;
    len -= chunk;
  }
  byte_copy(s->x, static_cast<uint32_t>(len), buf);
  s->pos = len;
  return 0;
}

int substdio_puts(substdio *s, const char *buf) {
  return substdio_put(s, buf, static_cast<int>(str_len(buf)));
}
