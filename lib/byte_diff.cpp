#include "byte.h"

int byte_diff(const char *s, uint32_t n, const char *t) {
  for (uint32_t i = 0; i < n; ++i) {
    const int d = static_cast<unsigned char>(s[i]) - static_cast<unsigned char>(t[i]);
    if (d) return d;
  }
  return 0;
}
