#ifndef SUBSTDIO_H
#define SUBSTDIO_H

#include <cstddef>
#include <sys/types.h>

// The read- or write-like operation behind a stream. Writers are handed
// bytes they must not change; the pointer is not const only because one
// type serves both directions.
using substdio_op = ssize_t (*)(int fd, char *buf, size_t len);

// Buffered stream on one descriptor. A writer keeps pos bytes waiting at
// the start of the buffer, size being its capacity; a reader keeps pos
// unconsumed bytes that end at the buffer's end, starting at index size.
struct substdio {
  char *x;
  int pos;
  int size;
  int fd;
  substdio_op op;
};

#define SUBSTDIO_FDBUF(op, fd, buf, len) {(buf), 0, (len), (fd), (op)}

void substdio_fdbuf(substdio *s, substdio_op op, int fd, char *buf, int len);

int substdio_feed(substdio *s);
int substdio_get(substdio *s, char *buf, int len);
char *substdio_peek(substdio *s);
void substdio_seek(substdio *s, int len);

int substdio_put(substdio *s, const char *buf, int len);
int substdio_puts(substdio *s, const char *buf);
int substdio_flush(substdio *s);

#endif
