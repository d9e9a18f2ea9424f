#ifndef POLICY_H
#define POLICY_H

#include <cstdint>

#include "failure.h"
#include "http_client.h"
#include "intake.h"
#include "rule_set.h"
#include "setup.h"

// What the SMTP server's environment says of the client.
struct client {
  const char *remoteip;     // TCPREMOTEIP, else 127.0.0.1
  const char *relayclient;  // RELAYCLIENT, else SMTPAUTHUSER; null: inbound
  const char *smtpauthuser; // SMTPAUTHUSER
};
client client_from_env();
// Mail of a relaying or authenticated client goes out.
direction direction_of(const client &c);

// What applies to one message: its direction, the daemon of that
// direction, and the settings its mail is judged by.
struct policy {
  direction dir;
  const settings *s;  // what holds for every message: thresholds, folders, limits
  zelmd_daemon daemon; // the direction's, cut and defaulted as the request has it
  rule_set *sets;      // one for each distinct set of settings among the recipients
  uint32_t set_count;  // (outbound: the sender's alone)
  uint64_t size;       // the message's, for the size limits
  // Outbound mail with its switch at exactly 1: the sender identity, the
  // sender lines, the thresholds and the report copy.
  bool sender_features;
  // Inbound mail with its switch at exactly 1 logs the IN form.
  bool in_form;
};

// The settings of the control files for one direction.
rule_set rules_of(const settings &s, direction dir);
// Called once, after the message and its envelope are read: 0, or the
// code of a failure.
int policy_for(const settings &s, const client &c, const envelope &e, uint64_t size, policy *p,
               failure *f);
// When the policy entry of r set the setting: true, with
// "control/zelmd_policy <entry> <setting>" in buf.
bool policy_entry_named(const rule_set &r, int rule_set::*setting, char *buf, size_t size);
// Whether the message is over the size limit of the settings.
bool policy_over_size(const rule_set &r, uint64_t size);
// Whether the settings classify a message of size bytes.
bool policy_classifies(const rule_set &r, uint64_t size);
// Whether the daemon is asked about a message of size bytes at all.
bool policy_asks(const policy &p, uint64_t size);

#endif
