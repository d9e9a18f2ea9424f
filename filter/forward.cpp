#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "auto_qmail.h"
#include "byte.h"
#include "env.h"
#include "error.h"
#include "exitcode.h"
#include "fd.h"
#include "open.h"
#include "die.h"
#include "forward.h"
#include "safe.h"
#include "str.h"
#include "subject.h"

namespace {
// A daemon's value must not start a line of its own or end the header, and
// relays refuse mail with lines over 998 bytes.
void put_line(qmail_handle *qq, const ClassifyResult &r, const zelmd_field &line) {
  char value[999];
  const stralloc &v = r.*line.field;
  const size_t room = sizeof value - str_len(line.stamp);
  // A filled field is NUL-terminated; an unfilled one is empty.
  const size_t n = v.s ? safe_copy(value, room, {v.s, byte_chr(v.s, v.len, 0)}, true) : 0;
  qmail_puts(qq, line.stamp);
  qmail_put(qq, value, static_cast<int>(n));
  qmail_put(qq, "\n", 1);
}

// The header without the verdict fields it arrived with: a sender could
// otherwise place forged ones before ours, and rules that read the first
// occurrence would trust them. Continuation lines go with their field.
// A line ends at a LF, and also at a CR that no LF follows, where some
// readers end it: a field of ours behind such a CR goes with that CR, one
// behind a LF with its own line end, so that what is left reads alike to
// both kinds of reader. The header comes in pieces, so a field's name or a
// line end may be split between two of them; such bytes are held back
// until the next piece decides.
struct unforge {
  enum { line_start, matching, in_line, after_cr } state;
  int dropping; // the current field is ours
  int keep_end; // ...and began behind a bare CR: its own line end stays
  uint32_t held; // bytes of a possible "X-ZELM-" kept back
  char prefix[7];
  uint32_t end_len; // a line end kept back: "\r", "\n" or "\r\n"
  char end[2];
};

constexpr char forged_prefix[] = "X-ZELM-";

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

void put_held(unforge *u, qmail_handle *qq) {
  qmail_put(qq, u->end, static_cast<int>(u->end_len));
  u->end_len = 0;
  qmail_put(qq, u->prefix, static_cast<int>(u->held));
  u->held = 0;
}

void unforge_put(unforge *u, qmail_handle *qq, const char *s, size_t len) {
  size_t from = 0; // start of the bytes that go on as they are, not yet put
  for (size_t pos = 0; pos < len;) {
    const char c = s[pos];
    switch (u->state) {
    case unforge::in_line:
      if (c == '\r') {
        if (!u->dropping) qmail_put(qq, s + from, static_cast<int>(pos - from));
        u->end[0] = '\r';
        u->end_len = 1;
        u->state = unforge::after_cr;
        from = ++pos;
      } else if (c == '\n') {
        u->state = unforge::line_start;
        if (u->dropping) {
          if (u->keep_end) u->end[0] = '\n', u->end_len = 1;
          from = pos + 1;
        }
        ++pos;
      } else {
        if (u->dropping) from = pos + 1;
        ++pos;
      }
      break;
    case unforge::after_cr:
      u->state = unforge::line_start;
      if (c != '\n') { // a bare CR: it ended the line all the same
        if (u->dropping && !u->keep_end) u->end_len = 0;
        break;
      }
      if (!u->dropping) {
        put_held(u, qq);
        from = pos++;
        break;
      }
      if (u->keep_end) u->end[1] = '\n', u->end_len = 2;
      else u->end_len = 0;
      from = ++pos;
      break;
    case unforge::line_start:
      qmail_put(qq, s + from, static_cast<int>(pos - from)); // the line before
      from = pos;
      if (u->dropping && (c == ' ' || c == '\t')) { // the field goes on
        u->end_len = 0;
        u->state = unforge::in_line;
        from = ++pos;
        break;
      }
      u->dropping = 0;
      if (upper(c) == forged_prefix[0]) {
        u->prefix[u->held++] = c;
        u->state = unforge::matching;
        from = ++pos;
        break;
      }
      put_held(u, qq);
      u->state = unforge::in_line;
      from = pos;
      break;
    case unforge::matching:
      if (upper(c) != forged_prefix[u->held]) { // not ours after all
        put_held(u, qq);
        u->state = unforge::in_line;
        from = pos;
        break;
      }
      u->prefix[u->held++] = c;
      from = ++pos;
      if (u->held < sizeof forged_prefix - 1) break;
      // Ours: behind a bare CR the CR goes with it, else the line end
      // before it stays.
      u->held = 0;
      u->keep_end = u->end_len == 1 && u->end[0] == '\r';
      if (u->keep_end) u->end_len = 0;
      put_held(u, qq);
      u->dropping = 1;
      u->state = unforge::in_line;
      break;
    }
  }
  qmail_put(qq, s + from, static_cast<int>(len - from));
}

// The header has ended: what was kept back goes on, but for the line end
// of a field of ours.
void unforge_end(unforge *u, qmail_handle *qq) {
  if (u->state == unforge::after_cr && u->dropping && !u->keep_end) u->end_len = 0;
  put_held(u, qq);
  *u = unforge{};
}

// What goes with the stamps: the tag where the header has no subject.
struct tag_plan {
  char tag[66]; // the tag and a blank; empty: none
  subject_scan subject;
};

// The stamps go right after the header, or at the top of a message that is
// all header; a message without a subject gets one there for its tag.
void put_stamps(const message &m, const stamping &st, const tag_plan &t, int after,
                qmail_handle *qq) {
  if (st.how != plan_kind::stamped || m.header.found != after) return;
  put_verdict_lines(*st.r, st.sender_lines, qq);
  if (!t.tag[0] || t.subject.found) return;
  qmail_puts(qq, "Subject: ");
  qmail_put(qq, t.tag, static_cast<int>(str_len(t.tag) - 1));
  qmail_put(qq, "\n", 1);
}

// A piece of the header from offset off on, through the forged-field
// filter, with the tag put in where the subject's value begins.
void put_header(unforge *u, qmail_handle *qq, const char *s, size_t len, uint64_t off,
                const tag_plan &t) {
  const subject_scan &sc = t.subject;
  if (!t.tag[0] || !sc.found || sc.at < off || sc.at - off >= len) {
    unforge_put(u, qq, s, len);
    return;
  }
  const size_t n = static_cast<size_t>(sc.at - off);
  unforge_put(u, qq, s, n);
  qmail_puts(qq, t.tag);
  unforge_put(u, qq, s + n, len - n);
}

void put_header_end(unforge *u, qmail_handle *qq, const message &m, const tag_plan &t) {
  if (t.tag[0] && t.subject.found && t.subject.at == m.header.end) qmail_puts(qq, t.tag);
  unforge_end(u, qq);
}

// Reads the spooled header from fd's current offset in the chunks it was
// spooled in, handing each to take with its offset.
char header_chunk[MESSAGE_BUFFER_SIZE];
template <class F> int read_header(const message &m, int fd, failure *f, F take) {
  char *const chunk = header_chunk;
  constexpr size_t size = sizeof header_chunk;
  uint64_t off = 0;
  while (off < m.header.end) {
    const uint64_t left = m.header.end - off;
    const size_t want = left < size ? left : size;
    const ssize_t got = read(fd, chunk, want);
    if (got == -1 && errno == error_intr) continue;
    if (got <= 0)
      return fail(f, exit_temp, "cannot reread spool file %s: %s", m.workfile,
                  got ? std::strerror(errno) : "it got shorter");
    take(chunk, static_cast<size_t>(got), off);
    off += static_cast<uint64_t>(got);
  }
  return 0;
}

// Where the tag goes, found before anything is put, since a header
// without a subject gets one with the stamps.
int plan_tag(const message &m, const stamping &st, int fd, tag_plan *t, failure *f) {
  *t = {};
  if (st.how != plan_kind::stamped || st.subject_tag.empty()) return 0;
  const size_t n = safe_copy(t->tag, sizeof t->tag - 1, st.subject_tag, false);
  t->tag[n] = ' ';
  t->tag[n + 1] = 0;
  if (!m.spooled()) {
    subject_scan_feed(&t->subject, m.message_buffer, m.header.end);
  } else {
    const int code = read_header(m, fd, f, [&](const char *s, size_t len, uint64_t) {
      subject_scan_feed(&t->subject, s, len);
    });
    if (code) return code;
    if (lseek(fd, 0, SEEK_SET) == -1)
      return fail(f, exit_temp, "cannot reread spool file %s: %s", m.workfile,
                  std::strerror(errno));
  }
  subject_scan_end(&t->subject);
  return 0;
}

// The spooled message: its header read to filter and stamp it, the rest
// passed on by the kernel.
int send_file(const message &m, const stamping &st, qmail_handle *qq, failure *f) {
  const fd_owner fd(open_read(m.workfile));
  if (!fd.ok())
    return fail(f, exit_temp, "cannot reread spool file %s: %s", m.workfile, std::strerror(errno));
  if (st.how != plan_kind::untouched) {
    tag_plan t;
    if (const int code = plan_tag(m, st, fd.get(), &t, f)) return code;
    put_stamps(m, st, t, 0, qq);
    unforge u = {};
    const int code = read_header(m, fd.get(), f, [&](const char *s, size_t len, uint64_t off) {
      put_header(&u, qq, s, len, off, t);
    });
    if (code) return code;
    put_header_end(&u, qq, m, t);
    put_stamps(m, st, t, 1, qq);
  }
  if (qmail_putfile(qq, fd.get()) == -1)
    return fail(f, exit_temp, "cannot reread spool file %s: %s", m.workfile, std::strerror(errno));
  return 0;
}
} // namespace

stamping stamping_of(const policy &p, const plan &pl, const ClassifyResult &r) {
  // A refused message is kept as it would have been queued.
  const plan_kind how = pl.kind == plan_kind::refused ? plan_kind::stamped : pl.kind;
  return {how, &r, p.sender_features, pl.tagged ? pl.subject_tag : std::string_view()};
}

void put_verdict_lines(const ClassifyResult &r, bool sender_lines, qmail_handle *qq) {
  for (size_t i = 0; i < ZELMD_STAMPS; ++i) {
    const zelmd_field &line = zelmd_fields[zelmd_stamp_order[i]];
    if (!line.outbound || sender_lines) put_line(qq, r, line);
  }
}

int put_message(const message &m, const stamping &st, qmail_handle *qq, failure *f) {
  if (m.spooled()) return send_file(m, st, qq, f);
  if (st.how == plan_kind::untouched) {
    qmail_put(qq, m.message_buffer, static_cast<int>(m.size));
    return 0;
  }
  const uint32_t head = static_cast<uint32_t>(m.header.end);
  tag_plan t;
  plan_tag(m, st, -1, &t, f);
  put_stamps(m, st, t, 0, qq);
  unforge u = {};
  put_header(&u, qq, m.message_buffer, head, 0, t);
  put_header_end(&u, qq, m, t);
  put_stamps(m, st, t, 1, qq);
  qmail_put(qq, m.message_buffer + head, static_cast<int>(m.size - head));
  return 0;
}

namespace {
// The inherited QMAILQUEUE names this filter; the configured queue program
// must replace it, or the filter would start itself again. The program's
// path, or null.
const char *queue_program(const settings &s, failure *f) {
  // The environment keeps the entry's storage, not the stralloc.
  stralloc entry = {};
  if (!stralloc_copys(&entry, "QMAILQUEUE=") || !stralloc_cat(&entry, &s.zelmd_queue_binary) ||
      !stralloc_append(&entry, "") || !env_put(entry.s)) {
    fail(f, exit_temp, "cannot set QMAILQUEUE: out of memory");
    return nullptr;
  }
  return entry.s + 11;
}
} // namespace

int pass_through(const settings &s, failure *f) {
  const char *program = queue_program(s, f);
  if (!program) return f->code;
  if (chdir(auto_qmail) == -1) return fail(f, exit_home, "queue program could not enter %s", auto_qmail);
  char *const argv[] = {const_cast<char *>(program), nullptr};
  execv(program, argv);
  return fail(f, exit_exec, "queue program %s could not be started", program);
}

int forward(const policy &p, const message &m, const envelope &e, const stamping &st,
            failure *f) {
  const char *program = queue_program(*p.s, f);
  if (!program) return f->code;

  qmail_handle qq;
  if (qmail_open(&qq, program) == -1)
    return fail(f, exit_temp, "cannot start queue program %s: %s", program, std::strerror(errno));
  if (const int code = put_message(m, st, &qq, f)) return code;
  qmail_envelope(&qq, e.items.s, e.items.len);
  hand_over_begin();
  while (qmail_commit(&qq) == -1 && errno == error_intr)
    if (hand_over_stopped(f)) return f->code;
  if (qmail_close(&qq) == -1)
    return fail(f, exit_temp, "queue program %s could not be waited for", program);
  if (!WIFEXITED(qq.wstat))
    return fail(f, exit_temp, "queue program %s killed by signal %d", program,
                WTERMSIG(qq.wstat));
  const int code = WEXITSTATUS(qq.wstat);
  // What qmail's own hand-off calls a read error: the queue program
  // accepted a message or envelope that did not reach it whole.
  if (qq.flag_error && code == exit_ok)
    return fail(f, exit_envelope_read,
                "queue program %s did not take the whole message and envelope", program);
  if (code == exit_home) return fail(f, code, "queue program could not enter %s", auto_qmail);
  if (code == exit_exec) return fail(f, code, "queue program %s could not be started", program);
  if (code != exit_ok) return fail(f, code, "queue program %s exited %d", program, code);
  return exit_ok;
}
