#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "spool.h"

#include "die.h"
#include "error.h"
#include "exitcode.h"
#include "fmt.h"
#include "str.h"

namespace {
// A directory made here gets its mode whatever the umask, keeping the
// set-group-id bit it inherits from a spool directory set up for a daemon
// that reads the spool files through the group; one that is there already
// is taken as it is, and checked by the caller.
int make_dir(const char *path, mode_t mode) {
  if (mkdir(path, mode) == -1) return errno == error_exist ? 0 : -1;
  struct stat st;
  if (lstat(path, &st) == -1) return -1;
  return chmod(path, mode | (st.st_mode & S_ISGID));
}

// This process's working directory in the configured spool directory,
// made in dir; 0, or -1 with what kept it from being used in why.
int spool_workdir(const char *root, char *dir, char *why, size_t size) {
  if (const char *bad = spool_dir_name(root, getpid(), dir))
    return fmt_why(why, size, "spool directory %s: %s", root, bad);
  if (make_dir(root, 0755) == -1)
    return fmt_why(why, size, "cannot make spool directory %s: %s", root, std::strerror(errno));
  if (const char *bad = spool_dir_unsafe(root))
    return fmt_why(why, size, "unsafe spool directory %s: %s", root, bad);
  if (make_dir(dir, 0750) == -1)
    return fmt_why(why, size, "cannot make working directory %s: %s", dir, std::strerror(errno));
  if (const char *bad = spool_dir_unsafe(dir))
    return fmt_why(why, size, "unsafe working directory %s: %s", dir, bad);
  return 0;
}

constexpr char spool_fix[] =
    "fix: name a directory of this user, not writable by others, in control/zelmd_spool_dir";
} // namespace

const char *spool_dir_unsafe(const char *path) {
  // Without its trailing slash, so that lstat does not follow a link.
  char name[128];
  uint32_t n = 0;
  while (path[n] && n < sizeof name - 1) name[n] = path[n], ++n;
  name[n] = 0;
  while (n > 1 && name[n - 1] == '/') name[--n] = 0;
  struct stat st;
  if (lstat(name, &st) == -1) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  if (st.st_uid != geteuid()) return "owned by another user";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "writable by group or others";
  return nullptr;
}

const char *spool_dir_name(const char *root, long pid, char *dir) {
  if (root[0] != '/') return "not an absolute path";
  const int n = std::snprintf(dir, 127, "%s/%ld/", root, pid);
  if (n < 0 || n >= 127) return "path too long";
  return nullptr;
}

void spool_remove(message *m) {
  die_spool(nullptr, nullptr);
  if (m->workfile[0]) unlink(m->workfile);
  if (m->workdir[0]) rmdir(m->workdir);
}

// Nobody can stop large mail by planting something in the spool
// directory: a directory of our own under /tmp, which nobody else can have
// made, takes its place. A daemon that reads spool files by their names
// cannot read it, so such a message goes to the daemon inline.
int make_workdir(message *m, const settings &s, bool by_name, failure *f) {
  // A spool area that cannot be had is a local, passing trouble: 71.
  stralloc root = {};
  if (!stralloc_copy(&root, &s.zelmd_spool_dir) || !stralloc_append(&root, ""))
    return fail(f, exit_temp, "out of memory");
  char why[400];
  m->private_spool = spool_workdir(root.s, m->workdir, why, sizeof why) == -1;
  if (m->private_spool) {
    // The pid in the name tells the check whose directory it is.
    std::snprintf(m->workdir, sizeof m->workdir, "/tmp/qmail-zelmd.%d.XXXXXX",
                  static_cast<int>(getpid()));
    if (!mkdtemp(m->workdir))
      return fail(f, exit_temp, "%s; cannot make a private spool directory in /tmp either: %s",
                  why, std::strerror(errno));
    str_copy(m->workdir + str_len(m->workdir), "/");
  }
  die_spool(m->workdir, m->workfile);
  if (m->private_spool)
    log_note("%s; spooled in %s instead%s (%s)", why, m->workdir,
             by_name ? " and sent inline" : "", spool_fix);
  return 0;
}
