#ifndef GETLN_H
#define GETLN_H

#include "stralloc.h"
#include "substdio.h"

int getln(substdio *ss, stralloc *sa, int *match, int sep);

#endif
