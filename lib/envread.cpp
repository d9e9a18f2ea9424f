#include "env.h"
#include "str.h"

extern char **environ;

const char *env_get(const char *name) {
  if (!environ) return nullptr;
  const uint32_t len = str_len(name);
  for (char **e = environ; *e; ++e)
    if (!str_diffn(*e, name, len) && (*e)[len] == '=') return *e + len + 1;
  return nullptr;
}
