#ifndef ERROR_H
#define ERROR_H

#include <cerrno>

// The errno values the library reports, under qmail's names.
inline constexpr int error_intr = EINTR;
inline constexpr int error_nomem = ENOMEM;
inline constexpr int error_noent = ENOENT;
inline constexpr int error_timeout = ETIMEDOUT;
inline constexpr int error_again = EAGAIN;
inline constexpr int error_exist = EEXIST;

#endif
