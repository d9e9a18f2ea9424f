#ifndef SCAN_H
#define SCAN_H

#include <cstdint>

uint32_t scan_ulong(const char *s, uint64_t *u);

#endif
