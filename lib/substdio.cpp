#include "substdio.h"

void substdio_fdbuf(substdio *s, substdio_op op, int fd, char *buf, int len) {
  s->x = buf;
  s->fd = fd;
  s->op = op;
  s->pos = 0;
  s->size = len;
}
