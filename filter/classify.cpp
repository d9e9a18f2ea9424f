#include "http_client.h"
#include "qmail-zelmd.h"
#include "str.h"

const char *relayclient;
const char *smtpauthuser;

namespace {
constexpr int SENDERID_SIZE = 4000;

void append(char *buf, const char *s) {
  uint32_t n = str_len(buf);
  while (*s && n < SENDERID_SIZE - 1) buf[n++] = *s++;
  buf[n] = 0;
}
} // namespace

int classify_message() {
  static char senderid[SENDERID_SIZE];
  senderid[0] = 0;
  int flag = 0;
  if (relayclient) {
    flag = zelmd_check_outbound;
    if (zelmd_senderid_smtpauth == 1 && smtpauthuser)
      append(senderid, smtpauthuser);
    else if (zelmd_senderid_senderip == 1)
      append(senderid, remoteip);
    else
      flag = 0;
  }
  zelmd_response = nullptr;
  // The identity is sent only for a flag of exactly 1.
  return process_zelmd_request(zelmd_host.s, zelmd_host.len, zelmd_port.s, zelmd_port.len,
                               mail_from, remoteip, senderid, flag == 1, message_buffer,
                               isStream ? message_len : 0, static_cast<char>(isStream),
                               &zelmd_response);
}
