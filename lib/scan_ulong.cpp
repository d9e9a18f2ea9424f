#include "scan.h"

uint32_t scan_ulong(const char *s, uint64_t *u) {
  uint32_t pos = 0;
  uint64_t result = 0;
  unsigned char c;
  while ((c = static_cast<unsigned char>(s[pos] - '0')) < 10) {
    result = result * 10 + c; // wraps modulo 2^64, as documented
    ++pos;
  }
  *u = result;
  return pos;
}
