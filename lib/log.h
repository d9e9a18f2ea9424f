#ifndef LOG_H
#define LOG_H

#include <cstddef>

// Lines to syslog as LOG_MAIL, LOG_INFO, in the form glibc's syslog
// writes: "<22>Mmm dd hh:mm:ss ident[pid]: text". They go straight to
// /dev/log, without locks or allocation, so a signal handler may log too.

// Notes the ident; call once before log_write.
void log_init(const char *ident);
// Called first by a signal handler that logs: nothing unsafe there.
void log_from_handler();
// One line; a line that /dev/log does not take is lost, as with syslog.
void log_write(const char *text, size_t len);
// One line formatted as printf does, every control byte in it made '?'
// (client and daemon text); not in a signal handler.
void log_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Lines go to fd as "ident: text" lines instead (a command that shows an
// administrator what the filter would log).
void log_to(int fd);

#endif
