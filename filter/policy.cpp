#include "policy.h"

#include <cstdio>
#include <cstring>
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

namespace {
// The settings of the recipients, one set for each entry found: an open
// table of the sets by their entry's key.
struct set_table {
  uint32_t *slot; // index + 1 into the sets; 0: empty
  uint32_t mask;
};

uint32_t hash(std::string_view entry) {
  uint32_t h = 5381;
  for (const char c : entry) h = (h * 33) ^ static_cast<unsigned char>(c);
  return h;
}

int recipients_sets(const settings &s, const envelope &e, policy *p, failure *f) {
  const uint32_t n = e.recipient_count;
  uint32_t size = 4;
  while (size < 2 * n) size *= 2;
  void *sets = n > UINT32_MAX / sizeof(rule_set) / 2
                   ? nullptr
                   : alloc((n ? n : 1) * static_cast<uint32_t>(sizeof(rule_set)));
  set_table t = {static_cast<uint32_t *>(sets ? alloc(size * 4) : nullptr), size - 1};
  if (!t.slot) return fail(f, exit_temp, "%u recipients: out of memory", n);
  std::memset(t.slot, 0, size * 4);
  p->sets = static_cast<rule_set *>(sets);
  const rule_set files = rules_of(s, direction::inbound);
  // A message without a recipient is still judged, by the control files.
  if (!n) new (&p->sets[p->set_count++]) rule_set(files);
  for (uint32_t i = 0; i < n; ++i) {
    rule_set r = files;
    const int found = policy_find(s.policy, e.recipients[i], false, &r);
    if (found == -1)
      return fail(f, exit_temp, "cannot read %s: a corrupt entry; run qmail-zelmd-policy",
                  POLICY_CDB);
    // No entry is the empty key.
    uint32_t at = hash(r.entry) & t.mask;
    while (t.slot[at] && p->sets[t.slot[at] - 1].entry != r.entry) at = (at + 1) & t.mask;
    if (t.slot[at]) continue;
    new (&p->sets[p->set_count]) rule_set(r);
    t.slot[at] = ++p->set_count;
  }
  return 0;
}
} // namespace

int policy_for(const settings &s, const client &c, const envelope &e, uint64_t size, policy *p,
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
  if (p->dir == direction::inbound) {
    if (const int code = recipients_sets(s, e, p, f)) return code;
  } else {
    // Outbound mail goes by its sender's entry alone.
    void *one = alloc(sizeof(rule_set));
    if (!one) return fail(f, exit_temp, "out of memory");
    p->sets = new (one) rule_set(rules_of(s, p->dir));
    p->set_count = 1;
    if (policy_find(s.policy, e.sender, true, p->sets) == -1)
      return fail(f, exit_temp, "cannot read %s: a corrupt entry; run qmail-zelmd-policy",
                  POLICY_CDB);
  }
  for (uint32_t i = 0; i < p->set_count; ++i) {
    if (p->sets[i].check != 1) continue;
    p->sender_features = p->dir == direction::outbound;
    p->in_form = p->dir == direction::inbound;
  }
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

bool policy_entry_named(const rule_set &r, int rule_set::*setting, char *buf, size_t size) {
  for (size_t k = 0; k < POLICY_SETTINGS; ++k) {
    if (policy_settings[k].number != setting || !(r.from_entry >> k & 1)) continue;
    std::snprintf(buf, size, "control/zelmd_policy %.*s %s", static_cast<int>(r.entry.size()),
                  r.entry.data(), policy_settings[k].name);
    return true;
  }
  return false;
}
