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
#include "qmail-zelmd.h"
#include "safe.h"
#include "str.h"

namespace {
struct stamp_line {
  const char *name;
  const stralloc ClassifyResult::*field;
};

const stamp_line verdict_lines[] = {
    {"X-ZELM-Pver: ", &ClassifyResult::pver},
    {"X-ZELM-Spam: ", &ClassifyResult::spam},
    {"X-ZELM-VOD: ", &ClassifyResult::vod},
    {"X-ZELM-RefID: ", &ClassifyResult::refid},
};

const stamp_line sender_lines[] = {
    {"X-ZELM-SenderID: ", &ClassifyResult::senderid},
    {"X-ZELM-SenderID-Flags: ", &ClassifyResult::senderid_flags},
    {"X-ZELM-BlueWhiteFlag: ", &ClassifyResult::bluewhiteflag},
    {"X-ZELM-SenderID-TotalMessages: ", &ClassifyResult::senderid_totalmessages},
    {"X-ZELM-SenderID-TotalSpam: ", &ClassifyResult::senderid_totalspam},
    {"X-ZELM-SenderID-TotalSuspected: ", &ClassifyResult::senderid_totalsuspected},
    {"X-ZELM-SenderID-TotalVirus: ", &ClassifyResult::senderid_totalvirus},
};

// A daemon's value must not start a line of its own or end the header, and
// relays refuse mail with lines over 998 bytes.
void put_line(qmail_handle *qq, const ClassifyResult *result, const stamp_line &line) {
  static char value[999];
  const stralloc &v = result->*line.field;
  const size_t room = sizeof value - str_len(line.name);
  // A filled field is NUL-terminated; an unfilled one is empty.
  const size_t n = v.s ? safe_copy(value, room, {v.s, byte_chr(v.s, v.len, 0)}, true) : 0;
  qmail_puts(qq, line.name);
  qmail_put(qq, value, static_cast<int>(n));
  qmail_put(qq, "\n", 1);
}

// The header without the verdict fields it arrived with: a sender could
// otherwise place forged ones before ours, and rules that read the first
// occurrence would trust them. Continuation lines go with their field. It
// comes in pieces, so a field's name may be split between two of them.
struct unforge {
  int in_line;    // past the start of the current line
  int dropping;   // the current field is one of ours
  uint32_t held;  // bytes of a possible "X-ZELM-" kept back at a line's start
  char prefix[7];
};

constexpr char forged_prefix[] = "X-ZELM-";

void unforge_put(unforge *u, qmail_handle *qq, const char *s, size_t len) {
  size_t kept = 0; // start of the bytes to keep that are not yet passed on
  size_t pos = 0;
  while (pos < len) {
    if (u->in_line) {
      const void *lf = std::memchr(s + pos, '\n', len - pos);
      pos = lf ? static_cast<size_t>(static_cast<const char *>(lf) - s) + 1 : len;
      if (u->dropping) kept = pos;
      u->in_line = lf == nullptr;
      continue;
    }
    const char c = s[pos];
    if (!u->held && (c == ' ' || c == '\t')) {
      u->in_line = 1;
      continue;
    }
    const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    if (upper == forged_prefix[u->held]) {
      if (!u->held) qmail_put(qq, s + kept, static_cast<int>(pos - kept));
      u->prefix[u->held++] = c;
      kept = ++pos;
      if (u->held == sizeof forged_prefix - 1) {
        u->held = 0;
        u->dropping = 1;
        u->in_line = 1;
      }
      continue;
    }
    // Not ours after all: what was kept back goes on with the line.
    qmail_put(qq, u->prefix, static_cast<int>(u->held));
    u->held = 0;
    u->dropping = 0;
    u->in_line = 1;
  }
  qmail_put(qq, s + kept, static_cast<int>(len - kept));
}

// A message that is all header may end inside a name that looked like ours.
void unforge_end(unforge *u, qmail_handle *qq) {
  qmail_put(qq, u->prefix, static_cast<int>(u->held));
  u->held = 0;
}

// The stamps go right after the header, or at the top of a message that is
// all header.
void put_stamps(const ClassifyResult *result, qmail_handle *qq, forward_how how, int after) {
  if (how == forward_stamped && message_header.found == after) send_zelmd_headers(result, qq);
}
} // namespace

// The in-memory message.
void put_message(const ClassifyResult *result, qmail_handle *qq, forward_how how) {
  if (how == forward_untouched) {
    qmail_put(qq, message_buffer, static_cast<int>(message_len));
    return;
  }
  const uint32_t head = static_cast<uint32_t>(message_header.end);
  put_stamps(result, qq, how, 0);
  unforge u = {};
  unforge_put(&u, qq, message_buffer, head);
  unforge_end(&u, qq);
  put_stamps(result, qq, how, 1);
  qmail_put(qq, message_buffer + head, static_cast<int>(message_len - head));
}

void send_zelmd_headers(const ClassifyResult *result, qmail_handle *qq) {
  for (const stamp_line &line : verdict_lines) put_line(qq, result, line);
  if (zelmd_check_outbound == 1)
    for (const stamp_line &line : sender_lines) put_line(qq, result, line);
}

// The spooled message: its header read to filter and stamp it, the rest
// passed on by the kernel.
void send_file(const ClassifyResult *result, qmail_handle *qq, forward_how how) {
  fd_owner fd(open_read(workfile));
  if (!fd.ok()) die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
  temp_fd = fd.get();
  if (how != forward_untouched) {
    put_stamps(result, qq, how, 0);
    unforge u = {};
    for (uint64_t left = message_header.end; left > 0;) {
      const size_t want = left < MESSAGE_BUFFER_SIZE ? left : MESSAGE_BUFFER_SIZE;
      const ssize_t r = read(fd.get(), message_buffer, want);
      if (r == -1) {
        if (errno == error_intr) continue;
        die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
      }
      if (r == 0) die(exit_temp, "cannot reread spool file %s: %s", workfile, "it got shorter");
      unforge_put(&u, qq, message_buffer, static_cast<size_t>(r));
      left -= static_cast<uint64_t>(r);
    }
    unforge_end(&u, qq);
    put_stamps(result, qq, how, 1);
  }
  if (qmail_putfile(qq, fd.get()) == -1)
    die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
  temp_fd = -1;
}

void forward(const ClassifyResult *result, forward_how how) {
  // The inherited QMAILQUEUE names this filter; the configured queue
  // program must replace it, or the filter would start itself again.
  stralloc entry;
  if (!stralloc_copys(&entry, "QMAILQUEUE=") || !stralloc_cat(&entry, &zelmd_queue_binary) ||
      !stralloc_append(&entry, "") || !env_put(entry.s))
    die(exit_temp, "cannot set QMAILQUEUE: out of memory");
  const char *program = entry.s + 11;

  qmail_handle qq;
  if (qmail_open(&qq) == -1)
    die(exit_temp, "cannot start queue program %s: %s", program, std::strerror(errno));
  if (isStream) {
    put_message(result, &qq, how);
  } else {
    send_file(result, &qq, how);
  }
  qmail_envelope(&qq, envelope_items.s, envelope_items.len);
  int code = exit_temp; // kept when the queue program crashed or was not reaped
  qmail_close(&qq, &code);
  if (qq.wstat == -1) die(code, "queue program %s could not be waited for", program);
  if (WIFSIGNALED(qq.wstat))
    die(code, "queue program %s killed by signal %d", program, WTERMSIG(qq.wstat));
  // What qmail's own hand-off calls a read error: the queue program
  // accepted a message or envelope that did not reach it whole.
  if (qq.flag_error && code == exit_ok)
    die(exit_envelope_read, "queue program %s did not take the whole message and envelope", program);
  if (code == exit_home) die(code, "queue program could not enter %s", auto_qmail);
  if (code == exit_exec) die(code, "queue program %s could not be started", program);
  if (code != exit_ok) die(code, "queue program %s exited %d", program, code);
  exit_clean(code);
}
