#ifndef WRITEALL_H
#define WRITEALL_H

#include <cstddef>

// Writes all len bytes, retrying short and interrupted writes; 0 or -1.
int writeall(int fd, const char *buf, size_t len);

#endif
