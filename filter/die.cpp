#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "fmt.h"
#include "log.h"
#include "exitcode.h"
#include "qmail-zelmd.h"
#include "safe.h"

namespace {
// "IP: <address> - <reason> (<tail>)". Built by hand, without locks or
// allocation, so that a signal handler can use it as well.
void log_reason(const char *reason, const char *tail) {
  char line[1000];
  size_t n = 0;
  for (const char *s : {"IP: ", remoteip ? remoteip : "127.0.0.1", " - ", reason, " (", tail, ")"})
    n += safe_copy(line + n, sizeof line - n, s, false);
  log_write(line, n);
}
void nothing(int) {}

// A session that is shut down must not leave its copy of the message
// behind: the spool file goes, and qmail-smtpd is told to try later.
void stopped(int sig) {
  log_from_handler();
  log_reason(sig == SIGTERM ? "stopped by SIGTERM" : sig == SIGHUP ? "stopped by SIGHUP"
                                                                   : "stopped by SIGINT",
             "exit 71");
  exit_clean(exit_temp);
}

void handle(int sig, void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigfillset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}
} // namespace

void catch_signals() {
  for (const int sig : {SIGTERM, SIGHUP, SIGINT}) handle(sig, stopped);
  // A queue program that stops reading must not kill the filter before it
  // has cleaned up, nor must a file-size limit while spooling: with a
  // handler the write fails instead (EPIPE, EFBIG) and the end is an
  // ordinary one. Handlers, unlike an ignored signal, are reset at exec,
  // so the queue program starts with the dispositions qmail gave us; a
  // SIGPIPE that qmail-smtpd already ignores stays ignored.
  struct sigaction old;
  if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) handle(SIGPIPE, nothing);
  handle(SIGXFSZ, nothing);
}

void die(int code, const char *fmt, ...) {
  char reason[600];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(reason, sizeof reason, fmt, ap);
  va_end(ap);
  char tail[16] = "exit ";
  tail[5 + fmt_ulong(tail + 5, static_cast<uint64_t>(code))] = 0;
  log_reason(reason, tail);
  exit_clean(code);
}

void log_unscanned(const char *fmt, ...) {
  char reason[600];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(reason, sizeof reason, fmt, ap);
  va_end(ap);
  log_reason(reason, "passed unscanned");
}
