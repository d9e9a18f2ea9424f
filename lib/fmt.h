#ifndef FMT_H
#define FMT_H

#include <cstdint>

// Decimal digits of u written to s (not NUL-terminated); the count. With a
// null s only the count. Safe in a signal handler.
uint32_t fmt_ulong(char *s, uint64_t u);

#endif
