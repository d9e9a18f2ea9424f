#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "exitcode.h"
#include "fd.h"
#include "log.h"
#include "open.h"
#include "qmail-zelmd.h"
#include "str.h"
#include "writeall.h"

namespace {
// The spooled message, as it was received, after the answer.
int copy_spool_file(const message &m, int to, const char *name, failure *f) {
  const fd_owner from(open_read(m.workfile));
  if (!from.ok())
    return fail(f, exit_temp, "cannot reread spool file %s: %s", m.workfile, std::strerror(errno));
  char buf[1 << 16];
  for (;;) {
    const ssize_t r = read(from.get(), buf, sizeof buf);
    if (r == 0) return 0;
    if (r == -1) {
      if (errno == error_intr) continue;
      return fail(f, exit_temp, "cannot reread spool file %s: %s", m.workfile,
                  std::strerror(errno));
    }
    if (writeall(to, buf, static_cast<size_t>(r)) == -1)
      return fail(f, exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  }
}
} // namespace

int handle_zelmd_outbound_message(const settings &s, const client &c, const message &m,
                                  const char *answer, const ClassifyResult &r, failure *f) {
  const std::string_view folder = stralloc_view(&s.zelmd_report_imap_folder);
  char name[192] = {};
  std::snprintf(name, sizeof name - 1, "%.*s/msgXXXXXX", static_cast<int>(folder.size()),
                folder.data());
  fd_owner report(mkostemp(name, O_CLOEXEC));
  // A failed mkostemp leaves the template as it pleases.
  if (!report.ok())
    return fail(f, exit_temp, "cannot create report file %.*s/msgXXXXXX: %s",
                static_cast<int>(folder.size()), folder.data(), std::strerror(errno));
  if (answer && writeall(report.get(), answer, str_len(answer)) == -1)
    return fail(f, exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  if (!m.spooled()) {
    if (writeall(report.get(), m.message_buffer, m.message_len) == -1)
      return fail(f, exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  } else if (const int code = copy_spool_file(m, report.get(), name, f)) {
    return code;
  }
  // A report whose last bytes never reached the disk is a failed copy.
  if (close(report.release()) == -1)
    return fail(f, exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  log_printf("COPY IP: %s, SenderID: %s, File: %s", c.remoteip,
             r.senderid.s && r.senderid.s[0] ? r.senderid.s : "N/A", name);
  return 0;
}
