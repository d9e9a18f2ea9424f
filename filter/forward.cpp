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

void put_line(qmail_handle *qq, const ClassifyResult *result, const stamp_line &line) {
  qmail_puts(qq, line.name);
  const stralloc &value = result->*line.field;
  // A filled field is NUL-terminated; an unfilled one is empty.
  if (value.s) qmail_put(qq, value.s, static_cast<int>(byte_chr(value.s, value.len, 0)));
  qmail_put(qq, "\n", 1);
}

bool starts_nocase(const char *s, uint32_t n, const char *prefix) {
  uint32_t i = 0;
  for (; prefix[i]; ++i) {
    if (i == n) return false;
    const char c = s[i] >= 'a' && s[i] <= 'z' ? static_cast<char>(s[i] - 32) : s[i];
    if (c != prefix[i]) return false;
  }
  return true;
}

// The header without the verdict lines it arrived with: a sender could
// otherwise place forged ones before ours, and rules that read the first
// occurrence would trust them. Continuation lines go with their field.
void put_header_unforged(qmail_handle *qq, const char *h, uint32_t len) {
  bool dropping = false;
  uint32_t kept = 0; // start of the bytes not yet passed on
  for (uint32_t pos = 0; pos < len;) {
    const uint32_t end = pos + byte_chr(h + pos, len - pos, '\n') + 1;
    const uint32_t line_end = end > len ? len : end;
    const bool continuation = h[pos] == ' ' || h[pos] == '\t';
    if (!continuation) dropping = starts_nocase(h + pos, line_end - pos, "X-ZELM-");
    if (dropping) {
      qmail_put(qq, h + kept, static_cast<int>(pos - kept));
      kept = line_end;
    }
    pos = line_end;
  }
  qmail_put(qq, h + kept, static_cast<int>(len - kept));
}
} // namespace

// The message's first len bytes, of which the first head are its header,
// with the verdict stamped behind the header when there is one.
void put_message(const ClassifyResult *result, qmail_handle *qq, const char *m, uint32_t len,
                 uint32_t head) {
  if (!zelmd_response) {
    qmail_put(qq, m, static_cast<int>(len));
    return;
  }
  put_header_unforged(qq, m, head);
  send_zelmd_headers(result, qq);
  qmail_put(qq, m + head, static_cast<int>(len - head));
}

void send_zelmd_headers(const ClassifyResult *result, qmail_handle *qq) {
  for (const stamp_line &line : verdict_lines) put_line(qq, result, line);
  if (zelmd_check_outbound == 1)
    for (const stamp_line &line : sender_lines) put_line(qq, result, line);
}

// The spooled message: read up to the end of its header (which lies within
// the first 32000 bytes) to stamp it, the rest passed on by the kernel.
void send_file(const ClassifyResult *result, qmail_handle *qq) {
  fd_owner fd(open_read(workfile));
  if (!fd.ok()) die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
  temp_fd = fd.get();
  uint32_t have = 0;
  for (;;) {
    const ssize_t r = read(fd.get(), message_buffer + have, MESSAGE_BUFFER_SIZE - have);
    if (r == -1) {
      if (errno == error_intr) continue;
      die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
    }
    have += static_cast<uint32_t>(r);
    if (r == 0 || have >= static_cast<uint32_t>(header_len)) break; // header_len < 32000
  }
  const uint32_t head_len = static_cast<uint32_t>(header_len);
  const uint32_t head = have < head_len ? have : head_len;
  put_message(result, qq, message_buffer, have, head);
  if (qmail_putfile(qq, fd.get()) == -1)
    die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
  temp_fd = -1;
}

void forward(const ClassifyResult *result) {
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
    put_message(result, &qq, message_buffer, message_len, static_cast<uint32_t>(header_len));
  } else {
    send_file(result, &qq);
  }
  qmail_from(&qq, mail_from);
  for (int i = 0; i < MAX_RCPT && rcpt_to[i][0]; ++i) qmail_to(&qq, rcpt_to[i]);
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
