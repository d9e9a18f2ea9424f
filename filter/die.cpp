#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "fmt.h"
#include "log.h"
#include "exitcode.h"
#include "die.h"
#include "safe.h"
#include "str.h"

namespace {
// The ends' own state: a signal handler may end the run at any point, and
// must find what to name and what to remove without being told.
const char *remoteip = "127.0.0.1";
const char *workdir;
const char *workfile;
volatile sig_atomic_t workdir_made = 0;

// "IP: <address> - <reason> (<tail>)". Built by hand, without locks or
// allocation, so that a signal handler can use it as well.
void log_reason(const char *reason, const char *tail) {
  char line[1000];
  size_t n = 0;
  for (const char *s : {"IP: ", remoteip, " - ", reason})
    n += safe_copy(line + n, sizeof line - n, s, false);
  if (tail)
    for (const char *s : {" (", tail, ")"}) n += safe_copy(line + n, sizeof line - n, s, false);
  log_write(line, n);
}
void nothing(int) {}

// Where the run stands towards the queue program, for the handler of a
// stop signal: before the hand-off it ends the run; once the envelope's
// closing byte may be on its way, the message is the queue program's and
// the signal is only noted.
volatile sig_atomic_t handing_over = 0;
volatile sig_atomic_t stop_signal = 0;

// Every catchable signal whose default ends the process, but for the ones
// a fault raises in the process itself. SIGPIPE and SIGXFSZ are not among
// them: they only make a write fail.
constexpr struct {
  int sig;
  const char *name;
} stop_signals[] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"},
    {SIGALRM, "SIGALRM"}, {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"}, {SIGXCPU, "SIGXCPU"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGIO, "SIGIO"},     {SIGPWR, "SIGPWR"},
    {SIGSTKFLT, "SIGSTKFLT"},
};

// "SIGTERM", or "SIGRTMIN+3" for a real-time signal; no allocation.
void signal_name(int sig, char *buf) {
  for (const auto &s : stop_signals)
    if (s.sig == sig) {
      str_copy(buf, s.name);
      return;
    }
  char *p = buf + str_copy(buf, "SIGRTMIN+");
  p[fmt_ulong(p, static_cast<uint64_t>(sig - SIGRTMIN))] = 0;
}

// A session that is shut down must not leave its copy of the message
// behind: the spool file goes, and qmail-smtpd is told to try later.
void stopped(int sig) {
  if (handing_over) {
    stop_signal = sig;
    return;
  }
  log_from_handler();
  char reason[32] = "stopped by ";
  signal_name(sig, reason + 11);
  log_reason(reason, "exit 71");
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
  for (const auto &s : stop_signals) handle(s.sig, stopped);
  // Those the C library keeps for itself refuse a handler; that is fine.
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) handle(sig, stopped);
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

void hand_over_begin() { handing_over = 1; }

bool hand_over_stopped(failure *f) {
  const int sig = stop_signal;
  if (!sig) return false;
  handing_over = 0;
  char reason[32] = "stopped by ";
  signal_name(sig, reason + 11);
  fail(f, exit_temp, "%s", reason);
  return true;
}

namespace {
__attribute__((format(printf, 2, 0))) void vlog_reason(const char *tail, const char *fmt,
                                                       va_list ap) {
  char reason[900];
  std::vsnprintf(reason, sizeof reason, fmt, ap);
  log_reason(reason, tail);
}
} // namespace

void die_setup(const char *address) { remoteip = address; }

void die_spool(const char *dir, const char *file) {
  workdir_made = 0;
  workdir = dir;
  workfile = file;
  workdir_made = dir != nullptr;
}

void exit_clean(int status) {
  if (workdir_made) {
    if (workfile[0]) unlink(workfile);
    rmdir(workdir);
  }
  _exit(status);
}

// Under qmail-smtpd descriptor 1 is the read end of the envelope pipe,
// and a peer that never reads would hold a blocking write for ever: one
// attempt, never waited for.
void out(const char *s) {
  const int flags = fcntl(1, F_GETFL);
  if (flags == -1 || fcntl(1, F_SETFL, flags | O_NONBLOCK) == -1) return;
  if (write(1, s, str_len(s)) < 0) {
  }
}

int fail(failure *f, int code, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(f->reason, sizeof f->reason, fmt, ap);
  va_end(ap);
  return f->code = code;
}

void die_failure(const failure &f) {
  if (f.status) out(f.status);
  die(f.code, "%s", f.reason);
}

void die(int code, const char *fmt, ...) {
  char tail[16] = "exit ";
  tail[5 + fmt_ulong(tail + 5, static_cast<uint64_t>(code))] = 0;
  va_list ap;
  va_start(ap, fmt);
  vlog_reason(tail, fmt, ap);
  va_end(ap);
  exit_clean(code);
}

void log_unscanned(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog_reason("passed unscanned", fmt, ap);
  va_end(ap);
}

void log_note(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog_reason(nullptr, fmt, ap);
  va_end(ap);
}
