#include "auto_qmail.h"

#ifndef QMAIL_HOME
#error "QMAIL_HOME must be set by the build"
#endif

const char auto_qmail[] = QMAIL_HOME;
