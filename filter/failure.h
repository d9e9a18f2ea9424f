#ifndef FAILURE_H
#define FAILURE_H

// Why a step could not go on: the exit code, the reason line's text, and
// the status line qmail-queue would write on descriptor 1, if any. A step
// that cannot go on returns the code with a failure filled; only main ends
// the process.
struct failure {
  int code;
  const char *status;
  char reason[900];
};
// Fills f and returns code.
int fail(failure *f, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

#endif
