#include "writeall.h"

#include <unistd.h>

#include "error.h"

int writeall(int fd, const char *buf, size_t len) {
  while (len > 0) {
    const ssize_t w = write(fd, buf, len);
    if (w == -1) {
      if (errno == error_intr) continue;
      return -1;
    }
    buf += w;
    len -= static_cast<size_t>(w);
  }
  return 0;
}
