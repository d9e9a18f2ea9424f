#include "env.h"

#include "alloc.h"
#include "str.h"

extern char **environ;

namespace {
int env_isinit = 0;
uint32_t en = 0;
uint32_t ea = 0;

void env_unsetlen(const char *name, uint32_t len) {
  for (uint32_t i = en; i-- > 0;) {
    if (!str_diffn(environ[i], name, len) && environ[i][len] == '=') {
      alloc_free(environ[i]);
      environ[i] = environ[--en];
      environ[en] = nullptr;
    }
  }
}

int env_add(char *s) {
  const uint32_t eq = str_chr(s, '=');
  if (s[eq]) env_unsetlen(s, eq);
  if (en == ea) {
    // Vector sizes are small; the pointer-count arithmetic cannot wrap
    // before alloc refuses the size.
    const uint64_t bytes = (uint64_t{ea} + 31) * sizeof(char *);
    if (bytes > UINT32_MAX) return 0;
    ea += 30;
    if (!alloc_re(&environ, (en + 1) * sizeof(char *), static_cast<uint32_t>(bytes))) {
      ea = en;
      return 0;
    }
  }
  environ[en++] = s;
  environ[en] = nullptr;
  return 1;
}

char *copy(const char *s) {
  const uint32_t n = str_len(s);
  char *x = static_cast<char *>(alloc(n + 1));
  if (x) str_copy(x, s);
  return x;
}
} // namespace

int env_init() {
  uint32_t n = 0;
  if (environ)
    while (environ[n]) ++n;
  const uint32_t cap = n + 10;
  char **v = static_cast<char **>(alloc((cap + 1) * sizeof(char *)));
  if (!v) return 0;
  for (uint32_t i = 0; i < n; ++i) {
    v[i] = copy(environ[i]);
    if (!v[i]) {
      while (i-- > 0) alloc_free(v[i]);
      alloc_free(v);
      return 0;
    }
  }
  v[n] = nullptr;
  en = n;
  ea = cap;
  environ = v;
  env_isinit = 1;
  return 1;
}

int env_put(const char *text) {
  if (!env_isinit && !env_init()) return 0;
  char *s = copy(text);
  if (!s) return 0;
  if (!env_add(s)) {
    alloc_free(s);
    return 0;
  }
  return 1;
}
