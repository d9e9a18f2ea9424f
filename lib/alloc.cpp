#include "alloc.h"

#include <cstdlib>

#include "error.h"

namespace {
constexpr uint32_t ALIGNMENT = 16;
constexpr uint32_t SPACE = 4096;

// A page of its own: every process touches it, and only it, however few
// bytes it takes.
alignas(SPACE) char realspace[SPACE];
uint32_t avail = SPACE;

bool in_arena(const void *p) {
  const char *c = static_cast<const char *>(p);
  return c >= realspace && c < realspace + SPACE;
}
} // namespace

void *alloc(uint32_t n) {
  // Room for one more unit than asked, as the arena always gives; a size
  // that would wrap past 2^32 is out of memory, never a smaller block.
  if (n > UINT32_MAX - ALIGNMENT) {
    errno = error_nomem;
    return nullptr;
  }
  const uint32_t size = (n & ~(ALIGNMENT - 1)) + ALIGNMENT;
#ifndef ZELMD_ALLOC_HEAP
  if (size <= avail) {
    avail -= size;
    return realspace + avail;
  }
#endif
  void *x = std::malloc(size);
  if (!x) errno = error_nomem;
  return x;
}

void alloc_free(void *p) {
  if (!in_arena(p)) std::free(p);
}

uint32_t alloc_avail() { return avail; }
