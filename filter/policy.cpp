#include "policy.h"

#include <new>

#include "alloc.h"
#include "env.h"
#include "exitcode.h"

client client_from_env() {
  client c = {};
  c.relayclient = env_get("RELAYCLIENT");
  if (!c.relayclient) c.relayclient = env_get("SMTPAUTHUSER");
  c.smtpauthuser = env_get("SMTPAUTHUSER");
  c.remoteip = env_get("TCPREMOTEIP");
  if (!c.remoteip) c.remoteip = "127.0.0.1";
  return c;
}

direction direction_of(const client &c) {
  return c.relayclient ? direction::outbound : direction::inbound;
}

rule_set rules_of(const settings &s, direction dir) {
  const direction_settings &d = s.of(dir);
  rule_set r = {};
  r.check = d.zelmd_check;
  r.block_spam = d.zelmd_block_spam;
  r.block_bulk = d.zelmd_block_bulk;
  r.block_virus = d.zelmd_block_virus;
  r.block_vhigh = d.zelmd_block_vhigh;
  r.require_scan = s.zelmd_require_scan;
  r.custom_reply = s.zelmd_custom_reply;
  r.tag_only = s.zelmd_tag_only;
  r.subject_tag = stralloc_view(&s.zelmd_subject_tag);
  r.max_size = s.zelmd_max_size;
  r.quarantine = s.zelmd_quarantine;
  return r;
}

int policy_for(const settings &s, const client &c, const envelope &, uint64_t size, policy *p,
               failure *f) {
  *p = {};
  p->dir = direction_of(c);
  p->s = &s;
  p->size = size;
  const direction_settings &d = s.of(p->dir);
  zelmd_request rq = {};
  rq.host = stralloc_view(&d.zelmd_host);
  rq.port = stralloc_view(&d.zelmd_port);
  p->daemon = zelmd_daemon_of(rq);
  void *one = alloc(sizeof(rule_set));
  if (!one) return fail(f, exit_temp, "out of memory");
  p->sets = new (one) rule_set(rules_of(s, p->dir));
  p->set_count = 1;
  p->sender_features = p->dir == direction::outbound && p->sets[0].check == 1;
  p->in_form = p->dir == direction::inbound && p->sets[0].check == 1;
  return 0;
}

bool policy_classifies(const rule_set &r, uint64_t size) {
  return r.check != 0 && !policy_over_size(r, size);
}

bool policy_over_size(const rule_set &r, uint64_t size) {
  return r.max_size > 0 && size > static_cast<uint64_t>(r.max_size);
}

bool policy_asks(const policy &p, uint64_t size) {
  for (uint32_t i = 0; i < p.set_count; ++i)
    if (policy_classifies(p.sets[i], size)) return true;
  return false;
}

bool policy_entry_named(const rule_set &, int rule_set::*, char *, size_t) { return false; }
