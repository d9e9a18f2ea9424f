#include <cstdarg>
#include <cstdio>

#include "fmt.h"

int fmt_why(char *why, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(why, size, fmt, ap);
  va_end(ap);
  return -1;
}
