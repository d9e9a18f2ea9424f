#ifndef STRALLOC_H
#define STRALLOC_H

#include <cstdint>
#include <string_view>

// Growable byte string; not NUL-terminated unless a NUL is appended.
struct stralloc {
  char *s = nullptr;
  uint32_t len = 0;
  uint32_t a = 0;
};

int stralloc_ready(stralloc *sa, uint32_t n);
int stralloc_readyplus(stralloc *sa, uint32_t n);
int stralloc_copyb(stralloc *sa, const char *buf, uint32_t n);
int stralloc_copys(stralloc *sa, const char *s);
int stralloc_copy(stralloc *sa, const stralloc *from);
int stralloc_catb(stralloc *sa, const char *buf, uint32_t n);
int stralloc_cats(stralloc *sa, const char *s);
int stralloc_cat(stralloc *sa, const stralloc *from);
int stralloc_append(stralloc *sa, const char *c);

inline std::string_view stralloc_view(const stralloc *sa) {
  return sa->s ? std::string_view(sa->s, sa->len) : std::string_view();
}

#endif
