#include "byte.h"

uint32_t byte_chr(const char *s, uint32_t n, int c) {
  const char ch = static_cast<char>(c);
  uint32_t i = 0;
  while (i < n && s[i] != ch) ++i;
  return i;
}

uint32_t byte_rchr(const char *s, uint32_t n, int c) {
  const char ch = static_cast<char>(c);
  uint32_t i = n;
  while (i > 0)
    if (s[--i] == ch) return i;
  return n;
}
