#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byte.h"
#include "error.h"
#include "exitcode.h"
#include "fd.h"
#include "log.h"
#include "open.h"
#include "quarantine_file.h"
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

namespace {
// The file's name in its folder must survive a crash as its bytes do.
int sync_folder(std::string_view folder) {
  char path[256];
  if (folder.size() >= sizeof path) return -1;
  byte_copy(path, static_cast<uint32_t>(folder.size()), folder.data());
  path[folder.size()] = 0;
  const fd_owner dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.ok() && fsync(dir.get()) == 0 ? 0 : -1;
}
} // namespace

int write_quarantine_copy(const policy &p, const client &c, const message &m, const envelope &e,
                          std::string_view answer, const stamping &st, const char *rule,
                          failure *f) {
  const std::string_view folder = stralloc_view(&p.s->zelmd_quarantine_dir);
  char name[256];
  fd_owner kept(quarantine_create(folder, name, sizeof name));
  if (!kept.ok())
    return fail(f, exit_temp, "cannot keep the message in quarantine folder %.*s: %s",
                static_cast<int>(folder.size()), folder.data(), std::strerror(errno));
  // Nothing half-written stays behind.
  const auto lost = [&](const char *why) {
    unlink(name);
    return fail(f, exit_temp, "cannot write quarantine file %s: %s", name, why);
  };
  if (quarantine_begin(kept.get(), stralloc_view(&e.items), answer, c.remoteip, rule) == -1)
    return lost(std::strerror(errno));
  const off_t start = lseek(kept.get(), 0, SEEK_CUR);
  qmail_handle qq;
  qmail_tofile(&qq, kept.get());
  failure put = {};
  if (put_message(m, st, &qq, &put)) return lost(put.reason);
  const off_t end = qmail_flush(&qq) == -1 ? -1 : lseek(kept.get(), 0, SEEK_CUR);
  if (start == -1 || end == -1 ||
      quarantine_end(kept.get(), static_cast<uint64_t>(end - start)) == -1 ||
      close(kept.release()) == -1 || sync_folder(folder) == -1)
    return lost(std::strerror(errno));
  log_printf("QUARANTINE IP: %s, File: %s", c.remoteip, name);
  return 0;
}
