#include <poll.h>
#include <unistd.h>

#include "error.h"
#include "timeoutio.h"

// poll rather than select: any descriptor number works.
ssize_t timeoutread(int t, int fd, char *buf, size_t len) {
  pollfd p{fd, POLLIN, 0};
  const int r = poll(&p, 1, t * 1000);
  if (r == -1) return -1;
  if (r == 0) {
    errno = error_timeout;
    return -1;
  }
  return read(fd, buf, len);
}
