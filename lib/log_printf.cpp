#include <cstdarg>
#include <cstdio>

#include "log.h"
#include "safe.h"

// Lines that carry client and daemon text are made safe whole. Formats
// with vsnprintf, so not for a signal handler.
void log_printf(const char *fmt, ...) {
  char raw[4096], line[4096];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(raw, sizeof raw, fmt, ap);
  va_end(ap);
  log_write(line, safe_copy(line, sizeof line, raw, false));
}
