#include <cstdarg>
#include <cstdio>

#include "fmt.h"
#include "log.h"
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
} // namespace

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
