#ifndef ALLOC_H
#define ALLOC_H

#include <cstdint>

// Small blocks come from a static arena that is never reclaimed; the rest
// from the heap. Built with ZELMD_ALLOC_HEAP every block comes from the heap,
// so that memory checkers see overruns of small blocks too.
void *alloc(uint32_t n);
void alloc_free(void *p);
int alloc_re(void *pp, uint32_t m, uint32_t n);

// Free arena bytes; for tests.
uint32_t alloc_avail();

#endif
