#include "byte.h"
#include "error.h"
#include "substdio.h"

namespace {
int oneread(substdio_op op, int fd, char *buf, int len) {
  for (;;) {
    const ssize_t r = op(fd, buf, static_cast<size_t>(len));
    if (r == -1 && errno == error_intr) continue;
    return static_cast<int>(r);
  }
}

int getthis(substdio *s, char *buf, int len) {
  if (len > s->pos) len = s->pos;
  byte_copy(buf, static_cast<uint32_t>(len), s->x + s->size);
  s->size += len;
  s->pos -= len;
  return len;
}
} // namespace

int substdio_feed(substdio *s) {
  if (s->pos) return s->pos;
  const int capacity = s->size;
  const int r = oneread(s->op, s->fd, s->x, capacity);
  if (r <= 0) return r;
  s->pos = r;
  s->size = capacity - r;
  // Keep unconsumed bytes flush with the buffer's end.
  if (r < capacity) byte_copyr(s->x + s->size, static_cast<uint32_t>(r), s->x);
  return r;
}

int substdio_get(substdio *s, char *buf, int len) {
  if (s->pos > 0) return getthis(s, buf, len);
  if (len >= s->size) return oneread(s->op, s->fd, buf, len);
  const int r = substdio_feed(s);
  if (r <= 0) return r;
  return getthis(s, buf, len);
}

char *substdio_peek(substdio *s) { return s->x + s->size; }

void substdio_seek(substdio *s, int len) {
  s->size += len;
  s->pos -= len;
}
