#include <fcntl.h>

#include "open.h"

int open_read(const char *fn) { return open(fn, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

int open_trunc(const char *fn) {
  return open(fn, O_WRONLY | O_NONBLOCK | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
}

int open_append(const char *fn) {
  return open(fn, O_WRONLY | O_NONBLOCK | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

int open_excl(const char *fn) { return open(fn, O_WRONLY | O_EXCL | O_CREAT | O_CLOEXEC, 0644); }

int open_write(const char *fn) { return open(fn, O_WRONLY | O_NONBLOCK | O_CLOEXEC); }
