// qmail-zelmd-policy: compiles control/zelmd_policy into
// control/zelmd_policy.cdb. The new file is written and synced under a
// name of this run's own, then renamed over the old one, so that the
// filter reads either the old rules or the new ones, never half a file.
// Nothing changes when anything fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "auto_qmail.h"
#include "fd.h"
#include "open.h"
#include "policy_compile.h"

namespace {
constexpr char TEXT[] = "control/zelmd_policy";
constexpr char CDB[] = "control/zelmd_policy.cdb";
char temp[64];
volatile sig_atomic_t temp_made;

void remove_temp(int) {
  if (temp_made) unlink(temp);
  _exit(1);
}

__attribute__((format(printf, 1, 2))) int fail(const char *fmt, ...) {
  const int e = errno;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, ": %s\n", std::strerror(e));
  if (temp_made) unlink(temp);
  return 1;
}
} // namespace

int main(int argc, char **argv) {
  const char *home = auto_qmail;
  int opt;
  while ((opt = getopt(argc, argv, "d:")) == 'd') home = optarg;
  if (opt != -1 || optind != argc) {
    std::fprintf(stderr, "usage: qmail-zelmd-policy [-d qmail-home]\n");
    return 2;
  }
  if (chdir(home) == -1) return fail("cannot enter the qmail home %s", home);

  std::string text;
  {
    const fd_owner in(open_read(TEXT));
    if (!in.ok()) return fail("cannot read %s", TEXT);
    char buf[65536];
    ssize_t n;
    while ((n = read(in.get(), buf, sizeof buf)) != 0) {
      if (n == -1 && errno != EINTR) return fail("cannot read %s", TEXT);
      if (n > 0) text.append(buf, static_cast<size_t>(n));
    }
  }

  for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) std::signal(sig, remove_temp);
  std::snprintf(temp, sizeof temp, "%s.tmp.%ld", CDB, static_cast<long>(getpid()));
  fd_owner out(open(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!out.ok()) return fail("cannot write %s", temp);
  temp_made = 1;
  // The filter runs as another user than the one who compiles.
  if (fchmod(out.get(), 0644) == -1) return fail("cannot write %s", temp);
  policy_compiled c;
  if (policy_compile(text, out.get(), &c) == -1) {
    if (c.line) {
      unlink(temp);
      std::fprintf(stderr, "%s\n", c.why);
      return 1;
    }
    return fail("cannot write %s", temp);
  }
  if (fsync(out.get()) == -1 || close(out.release()) == -1) return fail("cannot write %s", temp);
  if (rename(temp, CDB) == -1) return fail("cannot rename %s to %s", temp, CDB);
  temp_made = 0;
  // The rename itself made lasting.
  const fd_owner dir(open("control", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.ok()) fsync(dir.get());
  std::printf("%s: %lu entr%s\n", CDB, c.entries, c.entries == 1 ? "y" : "ies");
  return 0;
}
