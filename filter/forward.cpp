#include <unistd.h>

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

} // namespace

void send_zelmd_headers(const ClassifyResult *result, qmail_handle *qq) {
  for (const stamp_line &line : verdict_lines) put_line(qq, result, line);
  if (zelmd_check_outbound == 1)
    for (const stamp_line &line : sender_lines) put_line(qq, result, line);
}

// The spooled message, with the verdict lines after its first header_len
// bytes wherever the chunk boundaries fall.
void send_file(const ClassifyResult *result, qmail_handle *qq) {
  fd_owner fd(open_read(workfile));
  if (!fd.ok()) exit_clean(exit_temp);
  temp_fd = fd.get();
  uint64_t offset = 0;
  bool stamped = false;
  for (;;) {
    const ssize_t r = read(fd.get(), message_buffer, MESSAGE_BUFFER_SIZE);
    if (r == -1) {
      if (errno == error_intr) continue;
      exit_clean(exit_temp);
    }
    if (r == 0) break;
    const char *p = message_buffer;
    int n = static_cast<int>(r);
    if (!stamped && offset + static_cast<uint64_t>(n) >= static_cast<uint64_t>(header_len)) {
      const int head = static_cast<int>(static_cast<uint64_t>(header_len) - offset);
      qmail_put(qq, p, head);
      if (zelmd_response) send_zelmd_headers(result, qq);
      stamped = true;
      p += head;
      n -= head;
    }
    qmail_put(qq, p, n);
    offset += static_cast<uint64_t>(r);
  }
  temp_fd = -1;
}

void forward(const ClassifyResult *result) {
  // The inherited QMAILQUEUE names this filter; the configured queue
  // program must replace it, or the filter would start itself again.
  stralloc entry;
  if (!stralloc_copys(&entry, "QMAILQUEUE=") || !stralloc_catb(&entry, zelmd_queue_binary.s, zelmd_queue_binary.len) ||
      !stralloc_append(&entry, "") || !env_put(entry.s))
    exit_clean(exit_temp);

  qmail_handle qq;
  if (qmail_open(&qq) == -1) exit_clean(exit_temp);
  if (isStream) {
    qmail_put(&qq, message_buffer, header_len);
    if (zelmd_response) send_zelmd_headers(result, &qq);
    qmail_put(&qq, message_buffer + header_len, static_cast<int>(message_len) - header_len);
  } else {
    send_file(result, &qq);
  }
  qmail_from(&qq, mail_from);
  for (int i = 0; i < MAX_RCPT && rcpt_to[i][0]; ++i) qmail_to(&qq, rcpt_to[i]);
  int code = exit_temp; // kept when the queue program crashed or was not reaped
  qmail_close(&qq, &code);
  flush();
  exit_clean(code);
}
