#ifndef SPOOL_H
#define SPOOL_H

#include "failure.h"
#include "intake.h"
#include "setup.h"

// The spool directory's rules, shared with the check command. Null when
// the rule holds, else what is wrong: the working directory's name for pid
// (written to dir, 127 bytes) must fit; the directory must be a real
// directory of this user, not writable by group or others.
const char *spool_dir_name(const char *root, long pid, char *dir);
const char *spool_dir_unsafe(const char *path);
// The working directory for m: the configured spool directory's when it
// is safe, else a private one under /tmp. by_name: the daemon would read
// the spool file by its name, which it cannot in a private one.
int make_workdir(message *m, const settings &s, bool by_name, failure *f);
// Removes what make_workdir made, for a process that goes on.
void spool_remove(message *m);

#endif
