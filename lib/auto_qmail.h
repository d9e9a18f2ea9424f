#ifndef AUTO_QMAIL_H
#define AUTO_QMAIL_H

// The qmail home directory, fixed when the program is built.
extern const char auto_qmail[];

#endif
