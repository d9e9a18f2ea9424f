#ifndef OPEN_H
#define OPEN_H

// Each returns a descriptor or -1 with errno. All are close-on-exec: no
// descriptor of the filter's own may reach the queue program.
int open_read(const char *fn);
int open_trunc(const char *fn);
int open_append(const char *fn);
int open_excl(const char *fn);
int open_write(const char *fn);

#endif
