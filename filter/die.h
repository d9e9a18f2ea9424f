#ifndef DIE_H
#define DIE_H

#include "failure.h"

// What every end needs: the client's address for the reason line. The
// working directory and spool file to remove are registered by the step
// that makes them.
void die_setup(const char *remoteip);
void die_spool(const char *workdir, const char *workfile); // null: nothing to remove
// Every end with a non-zero code goes through die, which logs
// "IP: <address> - <reason> (exit <code>)" and then leaves by exit_clean.
[[noreturn]] void die(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The same for a failure: its status line, if any, then die.
[[noreturn]] void die_failure(const failure &f);
[[noreturn]] void exit_clean(int status);
// A message passed on without a verdict: "(passed unscanned)".
void log_unscanned(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A line of its own for a run that goes on: "IP: <address> - <text>".
void log_note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Every signal that would end the process ends the run with 71 and
// without a copy left in the spool area; SIGPIPE and SIGXFSZ turn into
// failed writes.
void catch_signals();
// From here on the envelope's closing byte may reach the queue program: a
// stop signal is only noted, and the run waits for the queue program.
void hand_over_begin();
// The closing byte did not go out because a signal came: true, with the
// failure to end with, when it was a stop signal, which then ends the run
// as it would have before.
bool hand_over_stopped(failure *f);
// A status line on descriptor 1: one attempt, never waited for.
void out(const char *s);

#endif
