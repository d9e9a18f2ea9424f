#include "classify.h"

zelmd_request classify_request(const policy &p, const client &c, const message &m,
                               const envelope &e) {
  zelmd_request rq = {};
  rq.host = p.daemon.host;
  rq.port = p.daemon.port;
  rq.mail_from = e.sender;
  rq.sender_ip = c.remoteip;
  // The identity is sent only with the sender features on.
  if (p.sender_features) {
    if (p.s->zelmd_senderid_smtpauth == 1 && c.smtpauthuser)
      rq.sender_id = c.smtpauthuser;
    else if (p.s->zelmd_senderid_senderip == 1)
      rq.sender_id = c.remoteip;
  }
  if (m.spooled()) {
    rq.spool_file = m.workfile;
    rq.spool_inline = m.private_spool;
  }
  else
    rq.message = m.text();
  rq.timeout = p.s->zelmd_timeout;
  rq.connect_timeout = p.s->zelmd_connect_timeout;
  return rq;
}

int classify_message(const policy &p, const client &c, const message &m, const envelope &e,
                     zelmd_reply *reply) {
  return process_zelmd_request(classify_request(p, c, m, e), reply);
}
