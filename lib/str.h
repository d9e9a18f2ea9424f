#ifndef STR_H
#define STR_H

#include <cstdint>

uint32_t str_len(const char *s);
uint32_t str_copy(char *to, const char *from);
int str_diff(const char *s, const char *t);
int str_diffn(const char *s, const char *t, uint32_t n);
uint32_t str_chr(const char *s, int c);

#endif
