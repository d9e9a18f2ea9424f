#ifndef ENV_H
#define ENV_H

// The process environment, read in place and, from the first change on,
// replaced by a private growable copy that started programs inherit.
const char *env_get(const char *name);
int env_init();
int env_put(const char *text);

#endif
