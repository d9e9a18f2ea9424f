#ifndef BYTE_H
#define BYTE_H

#include <cstdint>

uint32_t byte_chr(const char *s, uint32_t n, int c);
uint32_t byte_rchr(const char *s, uint32_t n, int c);
void byte_copy(char *to, uint32_t n, const char *from);
void byte_copyr(char *to, uint32_t n, const char *from);
int byte_diff(const char *s, uint32_t n, const char *t);

#endif
