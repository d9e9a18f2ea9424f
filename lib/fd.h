#ifndef FD_H
#define FD_H

#include <unistd.h>

// Owns one descriptor and closes it when it goes out of scope, so that
// every early return and exit path closes exactly what it opened.
struct fd_owner {
  int fd = -1;

  fd_owner() = default;
  explicit fd_owner(int f) : fd(f) {}
  fd_owner(const fd_owner &) = delete;
  fd_owner &operator=(const fd_owner &) = delete;
  fd_owner(fd_owner &&o) noexcept : fd(o.release()) {}
  fd_owner &operator=(fd_owner &&o) noexcept {
    if (this != &o) {
      reset();
      fd = o.release();
    }
    return *this;
  }
  ~fd_owner() { reset(); }

  int get() const { return fd; }
  bool ok() const { return fd >= 0; }
  int release() {
    const int f = fd;
    fd = -1;
    return f;
  }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

#endif
