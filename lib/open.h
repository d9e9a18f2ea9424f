#ifndef OPEN_H
#define OPEN_H

// A descriptor or -1 with errno; close-on-exec, since no descriptor of
// the filter's own may reach the queue program.
int open_read(const char *fn);

#endif
