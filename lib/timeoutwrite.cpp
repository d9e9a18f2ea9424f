#include <poll.h>
#include <unistd.h>

#include "error.h"
#include "timeoutio.h"

ssize_t timeoutwrite(int t, int fd, const char *buf, size_t len) {
  pollfd p{fd, POLLOUT, 0};
  const int r = poll(&p, 1, t * 1000);
  if (r == -1) return -1;
  if (r == 0) {
    errno = error_timeout;
    return -1;
  }
  return write(fd, buf, len);
}
