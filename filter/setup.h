#ifndef SETUP_H
#define SETUP_H

#include <cstddef>

#include "failure.h"
#include "policy_file.h"
#include "stralloc.h"

// What the control files say, read once per message; nothing in here
// depends on the message.

enum class direction { inbound, outbound };

// One direction's daemon, its switch and its blocking rules.
struct direction_settings {
  stralloc zelmd_host, zelmd_port;
  int zelmd_check; // not 0: classify; exactly 1: with the features of the direction
  int zelmd_block_spam, zelmd_block_bulk, zelmd_block_virus, zelmd_block_vhigh;
};

struct settings {
  direction_settings in, out;
  int zelmd_senderid_smtpauth, zelmd_senderid_senderip;
  int zelmd_out_totspam_action, zelmd_out_totspam_num;
  int zelmd_out_totsusp_action, zelmd_out_totsusp_num;
  int zelmd_out_totvirus_action, zelmd_out_totvirus_num;
  int zelmd_out_totmsgs_action, zelmd_out_totmsgs_num;
  stralloc zelmd_report_imap_folder, zelmd_queue_binary;
  int zelmd_require_scan;
  int zelmd_timeout;         // seconds for the whole exchange with the daemon; 0: no limit
  int zelmd_connect_timeout; // seconds for one address to connect; 0: no own limit
  stralloc zelmd_spool_dir;  // where the per-message working directories are made
  int zelmd_custom_reply;    // 1: a refusal tells the sender why (exit 82, descriptor 6)
  int zelmd_tag_only;        // 1: a refusal by a rule passes, stamped and noted
  stralloc zelmd_subject_tag; // put before the Subject: of a tag-only pass
  int zelmd_max_size;        // bytes; a larger message is not classified; 0: no limit
  int zelmd_quarantine;      // 1: a message refused by a rule is kept first
  stralloc zelmd_quarantine_dir; // where
  policy_db policy;          // control/zelmd_policy.cdb: entries per recipient and sender

  const direction_settings &of(direction d) const { return d == direction::outbound ? out : in; }
  direction_settings &of(direction d) { return d == direction::outbound ? out : in; }
};

// What a setting's value means, for reading it and for the check command.
enum class setting_kind {
  text,    // any text; an unreadable file stops the filter
  toggle,  // acts at exactly 1
  level,   // a direction's switch: not 0 classifies, 1 adds its features
  nonzero, // acts on any value but 0
  action,  // 1 refuses with 71, 2 with 31
  count,   // a threshold, off at 0 or less
  bytes,   // a size, no limit at 0 or less
  seconds, // a time limit, 0 for none
};

// One control file and the setting it holds, with its default.
struct control_setting {
  const char *file;
  setting_kind kind;
  const char *text_default;
  int number_default;
  stralloc &(*text)(settings &);
  int &(*number)(settings &);
};
// Every setting, in the order setup reads them.
inline constexpr size_t CONTROL_SETTINGS = 36;
extern const control_setting control_settings[CONTROL_SETTINGS];
// Reads one setting as setup does: the control reader's result.
int setting_read(const control_setting &c, settings *s);
inline constexpr char POLICY_CDB[] = "control/zelmd_policy.cdb";
// What every message needs: control/me, the text files, the switch of the
// message's direction and the compiled policy. 0, or 1 when control/me or
// a text file cannot be read (with the 421 status line), or 71 when the
// compiled policy cannot.
int setup(settings *s, direction dir, failure *f);
// Whether mail of the direction is passed on unread: its switch is 0 and
// no entry of the policy can turn it on.
bool setup_passes_unread(const settings &s, direction dir);
// The other number files, for mail that is read; they never stop the
// filter.
void setup_rest(settings *s, direction dir);
// The compiled policy alone: 0, or 71 when it exists but cannot be read
// or is no compiled policy, since a rule must never be passed around.
int setup_policy(settings *s, failure *f);
// The time limits made sane once read (a wrapped number is no limit of
// its own).
void setup_limits(settings *s);

#endif
