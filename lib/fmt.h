#ifndef FMT_H
#define FMT_H

#include <cstddef>
#include <cstdint>

// Decimal digits of u written to s (not NUL-terminated); the count. With a
// null s only the count. Safe in a signal handler.
uint32_t fmt_ulong(char *s, uint64_t u);
// Why something failed, formatted as printf does into why (size bytes,
// NUL-terminated); -1, for the caller to return.
int fmt_why(char *why, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

#endif
