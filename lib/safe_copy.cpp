#include "safe.h"

size_t safe_copy(char *to, size_t size, std::string_view from, bool keep_tab) {
  if (!size) return 0;
  size_t n = 0;
  for (const char c : from) {
    if (n == size - 1) break;
    const auto u = static_cast<unsigned char>(c);
    to[n++] = (u < 0x20 && !(keep_tab && c == '\t')) || u == 0x7f ? '?' : c;
  }
  to[n] = 0;
  return n;
}
