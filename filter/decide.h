#ifndef DECIDE_H
#define DECIDE_H

#include <string_view>

#include "classify_result.h"
#include "policy.h"
#include "reply.h"

// What came of asking the daemon.
enum class asked { no, answered, failed };
struct exchange {
  asked how;
  const char *why; // failed: why, naming the daemon
};

// What happens to the message. A message handed on goes as received when
// it was not to be classified; without the X-ZELM- fields it came with when
// it was not scanned; with ours in their place after a verdict.
enum class plan_kind { untouched, unscanned, stamped, refused };

// Of several recipients' settings the strictest wins, since qmail takes or
// refuses a message whole: a refusal for good over one for now, either
// over a pass; among equals the first recipient's.
struct plan {
  plan_kind kind;
  int code;           // refused: 31 or 71
  refusal why;        // refused: the words for the sender
  bool custom_reply;  // refused: the sender is told why, where qmail-smtpd listens
  bool keep;          // refused by a rule: kept in the quarantine first
  char rule[300];     // refused, or passed tag-only: the rule; else empty
  char reason[400];   // refused: the reason line's text; unscanned: why not scanned
  bool tagged;        // passed tag-only: rule says what would have refused it
  std::string_view subject_tag; // tagged: put before the message's Subject:
  std::string_view refid; // the daemon's reference, only from a RefID line it sent
  bool report;        // the report copy is made first
};

// The one decision on a message, for the filter and its check alike.
plan decide(const policy &p, const exchange &x, const ClassifyResult &r, bool usable);

#endif
