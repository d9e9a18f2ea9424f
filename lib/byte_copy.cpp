#include "byte.h"

// Both copies work byte by byte in a fixed direction, so that moving data
// within one buffer is safe in that direction.
void byte_copy(char *to, uint32_t n, const char *from) {
  for (uint32_t i = 0; i < n; ++i) to[i] = from[i];
}

void byte_copyr(char *to, uint32_t n, const char *from) {
  while (n > 0) {
    --n;
    to[n] = from[n];
  }
}
