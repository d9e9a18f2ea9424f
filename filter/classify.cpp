#include "qmail-zelmd.h"

zelmd_request classify_request(const settings &s, const client &c, const message &m) {
  const direction_settings &d = s.active();
  zelmd_request rq = {};
  rq.host = stralloc_view(&d.zelmd_host);
  rq.port = stralloc_view(&d.zelmd_port);
  rq.mail_from = m.mail_from;
  rq.sender_ip = c.remoteip;
  // The identity is sent only with the sender features on.
  if (s.sender_features()) {
    if (s.zelmd_senderid_smtpauth == 1 && c.smtpauthuser)
      rq.sender_id = c.smtpauthuser;
    else if (s.zelmd_senderid_senderip == 1)
      rq.sender_id = c.remoteip;
  }
  if (m.spooled())
    rq.spool_file = m.workfile;
  else
    rq.message = {m.message_buffer, m.message_len};
  rq.timeout = s.zelmd_timeout;
  rq.connect_timeout = s.zelmd_connect_timeout;
  return rq;
}

int classify_message(const settings &s, const client &c, const message &m, zelmd_reply *reply) {
  return process_zelmd_request(classify_request(s, c, m), reply);
}
