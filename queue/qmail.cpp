#include "qmail.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include "auto_qmail.h"
#include "error.h"
#include "exitcode.h"

namespace {
ssize_t plainwrite(int fd, char *buf, size_t len) { return write(fd, buf, len); }

// The queue program sees the end of the message; the stream moves on to
// the envelope pipe.
void end_message(qmail_handle *qq) {
  if (substdio_flush(&qq->ss) == -1) qq->flag_error = 1;
  close(qq->fd_message);
  substdio_fdbuf(&qq->ss, qq->ss.op, qq->fd_envelope, qq->buf, sizeof qq->buf);
}
} // namespace

int qmail_open(qmail_handle *qq, const char *program) {
  char *const argv[] = {const_cast<char *>(program), nullptr};
  // Close-on-exec, so the queue program gets only the two read ends it is
  // given, on descriptors 0 and 1.
  int pim[2], pie[2];
  if (pipe2(pim, O_CLOEXEC) == -1) return -1;
  if (pipe2(pie, O_CLOEXEC) == -1) {
    close(pim[0]);
    close(pim[1]);
    return -1;
  }
  const pid_t pid = vfork();
  if (pid == -1) {
    close(pim[0]);
    close(pim[1]);
    close(pie[0]);
    close(pie[1]);
    return -1;
  }
  if (pid == 0) {
    // Between vfork and exec: descriptor moves, chdir and exec only.
    if (fd_move(0, pim[0]) == -1) _exit(exit_exec);
    if (fd_move(1, pie[0]) == -1) _exit(exit_exec);
    if (chdir(auto_qmail) == -1) _exit(exit_home);
    execv(program, argv);
    _exit(exit_exec);
  }
  qq->pid = pid;
  qq->fd_message = pim[1];
  close(pim[0]);
  qq->fd_envelope = pie[1];
  close(pie[0]);
  substdio_fdbuf(&qq->ss, plainwrite, qq->fd_message, qq->buf, sizeof qq->buf);
  qq->flag_error = 0;
  qq->wstat = -1;
  qq->committed = 0;
  return 0;
}

void qmail_tofile(qmail_handle *qq, int fd) {
  *qq = {};
  qq->pid = -1;
  qq->fd_message = qq->fd_envelope = fd;
  qq->wstat = -1;
  substdio_fdbuf(&qq->ss, plainwrite, fd, qq->buf, sizeof qq->buf);
}

int qmail_flush(qmail_handle *qq) {
  if (!qq->flag_error && substdio_flush(&qq->ss) == -1) qq->flag_error = 1;
  return qq->flag_error ? -1 : 0;
}

void qmail_put(qmail_handle *qq, const char *s, int len) {
  if (qq->flag_error) return;
  // Anything larger than the buffer goes in one piece: the queue program
  // wakes once per pipe-full, not once per 8 KiB.
  if (len >= static_cast<int>(sizeof qq->buf)) {
    if (substdio_flush(&qq->ss) == -1) qq->flag_error = 1;
    for (size_t done = 0; !qq->flag_error && done < static_cast<size_t>(len);) {
      const ssize_t w = qq->ss.op(qq->ss.fd, const_cast<char *>(s) + done,
                                  static_cast<size_t>(len) - done);
      if (w > 0) done += static_cast<size_t>(w);
      else if (w == -1 && errno == error_intr) continue;
      else qq->flag_error = 1;
    }
    return;
  }
  if (substdio_put(&qq->ss, s, len) == -1) qq->flag_error = 1;
}

// The rest of the file from its current offset, moved by the kernel where
// it can; 0 or -1 for a read error of the file (a failed write only sets
// flag_error, as for qmail_put).
int qmail_putfile(qmail_handle *qq, int fd) {
  if (qq->flag_error) return 0;
  if (substdio_flush(&qq->ss) == -1) {
    qq->flag_error = 1;
    return 0;
  }
  for (;;) {
    const ssize_t r = sendfile(qq->fd_message, fd, nullptr, 1 << 20);
    if (r > 0) continue;
    if (r == 0) return 0;
    if (errno == error_intr) continue;
    if (errno == EINVAL || errno == ENOSYS) break;
    // sendfile does not say which side failed; ask the file.
    char probe;
    if (pread(fd, &probe, 1, lseek(fd, 0, SEEK_CUR)) == -1) return -1;
    qq->flag_error = 1;
    return 0;
  }
  for (;;) {
    char buf[32768];
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r == 0) return 0;
    if (r == -1) {
      if (errno == error_intr) continue;
      return -1;
    }
    qmail_put(qq, buf, static_cast<int>(r));
  }
}

void qmail_puts(qmail_handle *qq, const char *s) {
  if (!qq->flag_error && substdio_puts(&qq->ss, s) == -1) qq->flag_error = 1;
}

void qmail_envelope(qmail_handle *qq, const char *s, uint32_t len) {
  end_message(qq);
  while (len > 0) {
    const uint32_t n = len < (1u << 30) ? len : 1u << 30;
    qmail_put(qq, s, static_cast<int>(n));
    s += n;
    len -= n;
  }
  if (!qq->flag_error && substdio_flush(&qq->ss) == -1) qq->flag_error = 1;
}

int qmail_commit(qmail_handle *qq) {
  if (qq->flag_error || substdio_flush(&qq->ss) == -1) {
    qq->flag_error = 1;
    errno = EPIPE;
    return -1;
  }
  if (write(qq->fd_envelope, "", 1) == 1) {
    qq->committed = 1;
    return 0;
  }
  if (errno != error_intr) qq->flag_error = 1;
  return -1;
}

int qmail_close(qmail_handle *qq) {
  if (!qq->committed)
    while (qmail_commit(qq) == -1 && errno == error_intr) {
    }
  close(qq->fd_envelope);
  int wstat;
  if (wait_pid(&wstat, qq->pid) != qq->pid) return -1;
  qq->wstat = wstat;
  return 0;
}
