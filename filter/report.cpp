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
#include "report.h"
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

int write_report_copy(const policy &p, const client &c, const message &m, std::string_view answer,
                      const ClassifyResult &r, failure *f) {
  const std::string_view folder = stralloc_view(&p.s->zelmd_report_imap_folder);
  char name[192] = {};
  std::snprintf(name, sizeof name - 1, "%.*s/msgXXXXXX", static_cast<int>(folder.size()),
                folder.data());
  fd_owner report(mkostemp(name, O_CLOEXEC));
  // A failed mkostemp leaves the template as it pleases.
  if (!report.ok())
    return fail(f, exit_temp, "cannot create report file %.*s/msgXXXXXX: %s",
                static_cast<int>(folder.size()), folder.data(), std::strerror(errno));
  if (writeall(report.get(), answer.data(), answer.size()) == -1)
    return fail(f, exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  if (!m.spooled()) {
    if (writeall(report.get(), m.message_buffer, m.size) == -1)
      return fail(f, exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  } else if (const int code = copy_spool_file(m, report.get(), name, f)) {
    return code;
  }
  // A report whose last bytes never reached the disk is a failed copy.
  if (close(report.release()) == -1)
    return fail(f, exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  const std::string_view sender = field_text(r.senderid);
  log_printf("COPY IP: %s, SenderID: %.*s, File: %s", c.remoteip,
             sender.empty() ? 3 : static_cast<int>(sender.size()),
             sender.empty() ? "N/A" : sender.data(), name);
  return 0;
}
