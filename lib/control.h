#ifndef CONTROL_H
#define CONTROL_H

#include "stralloc.h"

// Readers of qmail control files: 1 value, 0 file missing, -1 error.
int control_init();
int control_readline(stralloc *sa, const char *fn);
int control_rldef(stralloc *sa, const char *fn, int flagme, const char *def);
int control_readint(int *i, const char *fn);

#endif
