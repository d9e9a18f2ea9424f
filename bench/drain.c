/* The benchmark's queue program: reads the message on descriptor 0 and
 * then the envelope on descriptor 1 to their ends, as qmail-queue does,
 * and exits 0. Built with -DCAPTURE it also copies both into the files
 * named by DRAIN_MESSAGE and DRAIN_ENVELOPE, for the check before the
 * timed runs. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

static char buf[65536];

static int drain(int fd, int copy) {
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return 0;
    if (n < 0) return -1;
    if (copy >= 0) {
      for (ssize_t off = 0; off < n;) {
        ssize_t w = write(copy, buf + off, (size_t)(n - off));
        if (w <= 0) return -1;
        off += w;
      }
    }
  }
}

static int open_copy(const char *var) {
#ifdef CAPTURE
  const char *path = getenv(var);
  if (path) return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
#else
  (void)var;
#endif
  return -1;
}

int main(void) {
  /* 54: qmail-queue's code for a read error. */
  if (drain(0, open_copy("DRAIN_MESSAGE")) < 0) return 54;
  if (drain(1, open_copy("DRAIN_ENVELOPE")) < 0) return 54;
  return 0;
}
