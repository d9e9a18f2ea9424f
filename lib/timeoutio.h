#ifndef TIMEOUTIO_H
#define TIMEOUTIO_H

#include <cstddef>
#include <sys/types.h>

// One read that waits at most t seconds for the descriptor to become
// ready; -1 with ETIMEDOUT when it does not.
ssize_t timeoutread(int t, int fd, char *buf, size_t len);

#endif
