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

// Starts program in the qmail home with message and envelope pipes on its
// descriptors 0 and 1; 0, or -1 with errno. A program that cannot enter
// the home or be run ends with 61 or 120.
int qmail_open(qmail_handle *qq, const char *program);
// A hand-off of the message alone into fd, a file, at its offset: a copy
// of the message as the queue program would get it. qmail_flush ends it.
void qmail_tofile(qmail_handle *qq, int fd);
// What is buffered written out: 0, or -1 when any write failed.
int qmail_flush(qmail_handle *qq);
void qmail_put(qmail_handle *qq, const char *s, int len);
void qmail_puts(qmail_handle *qq, const char *s);
int qmail_putfile(qmail_handle *qq, int fd);
// Envelope items (letter, address, NUL) in queue form, passed on as they
// are and flushed: all but the closing byte is with the queue program.
void qmail_envelope(qmail_handle *qq, const char *s, uint32_t len);
// The envelope's closing byte, in one write that is not retried: 0 once
// the queue program has the whole envelope, -1 when not (EINTR: a signal
// came first, and the caller may try again).
int qmail_commit(qmail_handle *qq);
// Ends the envelope when that was not done, closes both pipes and waits
// for the queue program: 0 with its wait status in wstat, or -1 when it
// could not be waited for.
int qmail_close(qmail_handle *qq);

int wait_pid(int *wstat, int64_t pid);
int fd_copy(int to, int from);
int fd_move(int to, int from);

#endif
