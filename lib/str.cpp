#include "str.h"

uint32_t str_len(const char *s) {
  uint32_t i = 0;
  while (s[i]) ++i;
  return i;
}

uint32_t str_copy(char *to, const char *from) {
  uint32_t i = 0;
  while ((to[i] = from[i])) ++i;
  return i;
}

int str_diffn(const char *s, const char *t, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    const unsigned char a = static_cast<unsigned char>(s[i]);
    const unsigned char b = static_cast<unsigned char>(t[i]);
    if (a != b) return a - b;
    if (!a) return 0;
  }
  return 0;
}

int str_diff(const char *s, const char *t) { return str_diffn(s, t, UINT32_MAX); }

uint32_t str_chr(const char *s, int c) {
  const char ch = static_cast<char>(c);
  uint32_t i = 0;
  while (s[i] && s[i] != ch) ++i;
  return i;
}
