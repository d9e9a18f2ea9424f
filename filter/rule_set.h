#ifndef RULE_SET_H
#define RULE_SET_H

#include <string_view>

// The settings one recipient's mail (or, outbound, the sender's) is judged
// by: the control files of the message's direction, with the matching
// entry of control/zelmd_policy over them.
struct rule_set {
  std::string_view entry; // the entry's key as compiled ("example.org", "from:.example.org");
                          // empty: the control files alone
  int check;              // 0: not classified; 1: with the direction's features; other: classified
  int block_spam, block_bulk, block_virus, block_vhigh; // act at exactly 1
  int require_scan;       // not 0: a daemon that cannot be consulted refuses with 71
  int custom_reply;       // 1: a refusal tells the sender why
  int tag_only;           // 1: a refusal by a rule passes, stamped and noted
  std::string_view subject_tag; // put before the Subject: of a tag-only pass; empty: none
  int max_size;           // bytes; a larger message is not classified; 0 or less: no limit
  int quarantine;         // 1: a message refused by a rule is kept first
  unsigned from_entry;    // bit i: setting i of the entry table came from the entry
};

#endif
