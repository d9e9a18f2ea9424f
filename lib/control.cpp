#include "control.h"

#include <unistd.h>

#include "error.h"
#include "fd.h"
#include "getln.h"
#include "open.h"
#include "scan.h"
#include "substdio.h"

namespace {
char inbuf[64];
stralloc line;
stralloc me;
int meok = 0;

ssize_t plainread(int fd, char *buf, size_t len) { return read(fd, buf, len); }

void striptrailingwhitespace(stralloc *sa) {
  while (sa->len > 0) {
    const char c = sa->s[sa->len - 1];
    if (c != '\n' && c != ' ' && c != '\t') break;
    --sa->len;
  }
}
} // namespace

int control_readline(stralloc *sa, const char *fn) {
  fd_owner fd(open_read(fn));
  if (!fd.ok()) return errno == error_noent ? 0 : -1;
  substdio ss;
  substdio_fdbuf(&ss, plainread, fd.get(), inbuf, sizeof inbuf);
  int match;
  if (getln(&ss, sa, &match, '\n') == -1) return -1;
  striptrailingwhitespace(sa);
  return 1;
}

int control_init() {
  const int r = control_readline(&me, "control/me");
  if (r == 1) meok = 1;
  return r;
}

int control_rldef(stralloc *sa, const char *fn, int flagme, const char *def) {
  const int r = control_readline(sa, fn);
  if (r) return r;
  if (flagme && meok) return stralloc_copy(sa, &me) ? 1 : -1;
  if (def) return stralloc_copys(sa, def) ? 1 : -1;
  return 0;
}

int control_readint(int *i, const char *fn) {
  const int r = control_readline(&line, fn);
  if (r != 1) return r;
  if (!stralloc_append(&line, "")) return -1;
  uint64_t u;
  if (!scan_ulong(line.s, &u)) return 0;
  *i = static_cast<int>(static_cast<uint32_t>(u)); // the low 32 bits, as stored
  return 1;
}
