#ifndef QMAIL_H
#define QMAIL_H

#include <cstdint>

#include "substdio.h"

// One hand-off of a message and its envelope to the queue program.
struct qmail_handle {
  int flag_error;
  int64_t pid;
  int fd_message;
  int fd_envelope;
  int wstat; // the queue program's wait status; -1 until it was reaped
  int committed; // the envelope's closing byte went out
  substdio ss;
  char buf[1024];
};

int qmail_open(qmail_handle *qq);
void qmail_put(qmail_handle *qq, const char *s, int len);
void qmail_puts(qmail_handle *qq, const char *s);
int qmail_putfile(qmail_handle *qq, int fd);
void qmail_from(qmail_handle *qq, const char *s);
void qmail_to(qmail_handle *qq, const char *s);
// Envelope items (letter, address, NUL) in queue form, passed on as they
// are and flushed: all but the closing byte is with the queue program.
void qmail_envelope(qmail_handle *qq, const char *s, uint32_t len);
// The envelope's closing byte, in one write that is not retried: 0 once
// the queue program has the whole envelope, -1 when not (EINTR: a signal
// came first, and the caller may try again).
int qmail_commit(qmail_handle *qq);
const char *qmail_close(qmail_handle *qq, int *code);

int wait_pid(int *wstat, int64_t pid);
int fd_copy(int to, int from);
int fd_move(int to, int from);

#endif
