#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "intake.h"

#include "alloc.h"
#include "byte.h"
#include "error.h"
#include "exitcode.h"
#include "fd.h"
#include "spool.h"
#include "timeoutio.h"
#include "writeall.h"

namespace {
constexpr int timeout = 1200;

// One read of the message or the envelope under the time limit. A handler
// that returned (SIGPIPE, SIGXFSZ) only interrupted the wait.
ssize_t saferead(int fd, char *buf, size_t len) {
  for (;;) {
    const ssize_t r = timeoutread(timeout, fd, buf, len);
    if (r != -1 || errno != error_intr) return r;
  }
}

// A read of what that failed: timed out (with qmail-queue's status line)
// or broken.
int read_failed(failure *f, const char *what) {
  if (errno == error_timeout) {
    f->status = "451 timeout (#4.4.2)\r\n";
    return fail(f, exit_config, "no %s within %d s", what, timeout);
  }
  return fail(f, exit_config, "cannot read the %s: %s", what, std::strerror(errno));
}

// The spool file, always a new one: never written through a link or into
// a file that someone may have left, or hard-linked, in our place.
int open_spool_file(message *m, const settings &s, bool by_name, fd_owner *spool, failure *f) {
  if (const int code = make_workdir(m, s, by_name, f)) return code;
  std::snprintf(m->workfile, sizeof m->workfile - 1, "%s/%d.msg", m->workdir,
                static_cast<int>(m->start));
  if (unlink(m->workfile) == -1 && errno != error_noent)
    return fail(f, exit_temp, "cannot remove old spool file %s: %s", m->workfile,
                std::strerror(errno));
  *spool = fd_owner(open(m->workfile,
                         O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!spool->ok() || fchmod(spool->get(), 0644) == -1)
    return fail(f, exit_temp, "cannot create spool file %s: %s", m->workfile, std::strerror(errno));
  return 0;
}
} // namespace

void header_scan(header_state *h, const char *buf, size_t len) {
  if (h->found) return;
  size_t pos = 0;
  while (pos < len) {
    if (h->line == header_state::mid) {
      const void *lf = std::memchr(buf + pos, '\n', len - pos);
      if (!lf) break;
      pos = static_cast<size_t>(static_cast<const char *>(lf) - buf) + 1;
      h->line = header_state::start;
      continue;
    }
    const char c = buf[pos];
    if (c == '\n') {
      // The CR of a "\r\n" line may have ended the previous chunk.
      h->end += pos;
      if (h->line == header_state::after_cr) --h->end;
      h->found = 1;
      return;
    }
    h->line =
        c == '\r' && h->line == header_state::start ? header_state::after_cr : header_state::mid;
    ++pos;
  }
  h->end += len;
}

int read_message(message *m, int fd, const settings &s, bool by_name, failure *f) {
  uint32_t pos = 0;
  while (pos < MESSAGE_BUFFER_SIZE) {
    const ssize_t r = saferead(fd, m->message_buffer + pos, MESSAGE_BUFFER_SIZE - pos);
    if (r == -1) return read_failed(f, "message");
    if (r == 0) break;
    pos += static_cast<uint32_t>(r);
  }
  header_scan(&m->header, m->message_buffer, pos);
  m->size = pos;
  if (pos < MESSAGE_BUFFER_SIZE) return 0;
  // 32000 bytes or more: the whole message goes to the spool file, the
  // rest in reads as large as a pipe holds, each pipe-full of the sender
  // costing one read and one write.
  fd_owner spool;
  if (const int code = open_spool_file(m, s, by_name, &spool, f)) return code;
  static char spill[1 << 16];
  const char *buf = m->message_buffer;
  ssize_t len = MESSAGE_BUFFER_SIZE;
  for (;;) {
    if (writeall(spool.get(), buf, static_cast<size_t>(len)) == -1)
      return fail(f, exit_temp, "cannot write spool file %s: %s", m->workfile,
                  std::strerror(errno));
    buf = spill;
    len = saferead(fd, spill, sizeof spill);
    if (len == -1) return read_failed(f, "message");
    if (len == 0) break;
    m->size += static_cast<uint64_t>(len);
    header_scan(&m->header, spill, static_cast<size_t>(len));
  }
  return 0;
}

// Made once the items are all read, since they may move while they grow.
int envelope_addresses(envelope *e, failure *f) {
  uint32_t recipients = 0;
  for (uint32_t at = 0; at < e->items.len; at += byte_chr(e->items.s + at, e->items.len - at, 0) + 1)
    recipients += e->items.s[at] == 'T';
  e->sender = {};
  e->recipient_count = 0;
  // An envelope read again names its addresses anew.
  if (e->recipients) alloc_free(e->recipients);
  if (recipients > UINT32_MAX / sizeof *e->recipients ||
      !(e->recipients = static_cast<std::string_view *>(
            alloc(recipients * static_cast<uint32_t>(sizeof *e->recipients)))))
    return fail(f, exit_temp, "envelope of %u recipients: out of memory", recipients);
  const char *s = e->items.s;
  for (uint32_t at = 0; at < e->items.len;) {
    const uint32_t n = byte_chr(s + at, e->items.len - at, 0);
    const std::string_view address = n ? std::string_view(s + at + 1, n - 1) : std::string_view();
    if (s[at] == 'F') e->sender = address;
    if (s[at] == 'T') new (&e->recipients[e->recipient_count++]) std::string_view(address);
    at += n + 1;
  }
  return 0;
}

int read_envelope(substdio *in, envelope *e, failure *f) {
  stralloc *items = &e->items;
  bool sender_seen = false, sender_nonempty = false;
  bool rcpt_seen = false, rcpt_nonempty = false;
  uint32_t item = 0;    // start of the item being read
  uint32_t scanned = 0; // bytes of that item known to hold no NUL
  items->len = 0;
  constexpr int chunk = 512;
  for (;;) {
    if (!stralloc_readyplus(items, chunk))
      return fail(f, exit_temp, "envelope of %u bytes: out of memory", items->len);
    const int r = substdio_get(in, items->s + items->len, chunk);
    if (r == -1) return read_failed(f, "envelope");
    // As qmail-queue has it: a writer that went away before the closing
    // item did not mean to send this message.
    if (r == 0) return fail(f, exit_envelope_read, "envelope cut off before its end");
    items->len += static_cast<uint32_t>(r);
    for (;;) {
      const char *s = items->s;
      const uint32_t end = scanned + byte_chr(s + scanned, items->len - scanned, 0);
      scanned = end;
      if (end == items->len) break;
      if (end == item) {
        if (!rcpt_seen)
          return fail(f, exit_envelope_bad, "envelope ends before its first recipient");
        // Anything behind the closing item is not ours to pass on.
        items->len = item;
        if (!sender_nonempty && !rcpt_nonempty)
          return fail(f, exit_envelope_read, "envelope with neither sender nor recipient");
        return envelope_addresses(e, f);
      }
      if (s[item] == 'F') {
        if (sender_seen) return fail(f, exit_envelope_bad, "envelope with a second sender");
        sender_seen = true;
        sender_nonempty = end > item + 1;
      } else if (s[item] == 'T') {
        rcpt_seen = true;
        rcpt_nonempty |= end > item + 1;
      }
      item = scanned = end + 1;
    }
  }
}

int read_envelope_fd1(envelope *e, failure *f) {
  char buf[512];
  substdio in = SUBSTDIO_FDBUF(saferead, 1, buf, sizeof buf);
  return read_envelope(&in, e, f);
}
