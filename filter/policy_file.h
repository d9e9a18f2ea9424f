#ifndef POLICY_FILE_H
#define POLICY_FILE_H

// control/zelmd_policy, compiled by qmail-zelmd-policy into
// control/zelmd_policy.cdb: settings per recipient and per sender, each
// entry over the control files of the message's direction.
//
// The text, one entry a line (blank lines and lines whose first non-blank
// is '#' are skipped):
//   KEY:SETTING=VALUE,SETTING=VALUE ... [# comment]
// KEY is an address (user@example.org), a domain (example.org) or a domain
// with a leading dot for every domain below it (.example.org); with
// "from:" before it (any case) it is the envelope sender's, else the
// recipient's. Blanks (space, tab) are allowed around names, '=', values
// and commas, not inside a key or an unquoted value. A VALUE in double
// quotes may hold blanks, commas and '#'; inside them \" is a quote and
// \\ a backslash, and no other byte may follow a backslash. A '#' outside
// quotes where the entry could end begins a comment; inside an unquoted
// value it is an error. An entry without settings is allowed: the mail it
// matches is judged by the control files alone, whatever less specific
// entry there is.
//
// The compiled file holds one record per entry: the key lowercased, with
// "from:" for a sender's; the value, the entry's settings in the order of
// policy_settings, each one byte (its index in the table) followed by the
// number in 4 bytes (cdb_pack's order) or, for text, a length byte and the
// bytes. An entry without settings has an empty value. One record more,
// POLICY_META (no line can make a key that begins with a colon), holds six
// bytes '0' or '1', each first for the recipients' entries, then for the
// senders': whether any sets check to other than 0; whether any key is an
// address; whether any is a domain with a leading dot. A lookup asks only
// for forms some key has. A file without it is no compiled policy.
//
// Parsing and lookup go into the filter, which is linked without the C++
// runtime: nothing in them may throw (no substr, no at).

#include <cdb.h>

#include <cstddef>
#include <string_view>

#include "rule_set.h"

inline constexpr char POLICY_SENDER[] = "from:";
inline constexpr size_t POLICY_SENDER_LEN = sizeof POLICY_SENDER - 1;
inline constexpr char POLICY_META[] = ":classify";
inline constexpr size_t POLICY_KEY_MAX = 255;   // bytes of a key after any "from:"
inline constexpr size_t POLICY_TEXT_MAX = 64;   // bytes of a text value
inline constexpr size_t POLICY_VALUE_MAX = 128; // bytes of a compiled value

enum class policy_kind {
  number, // 0 to 2147483647
  toggle, // 0 or 1: the control files take any number but act only on 1
  text,   // printable ASCII, at most POLICY_TEXT_MAX bytes, may be empty
};

// One setting of an entry and the member of rule_set it overrides. The
// index in the table is the setting's byte in the compiled file: new ones
// go at the end.
struct policy_setting {
  const char *name;
  policy_kind kind;
  int rule_set::*number;            // number and toggle
  std::string_view rule_set::*text; // text
};
inline constexpr size_t POLICY_SETTINGS = 11; // at most 32: rule_set::from_entry
extern const policy_setting policy_settings[POLICY_SETTINGS];

// One entry as compiled.
struct policy_entry {
  char key[POLICY_SENDER_LEN + POLICY_KEY_MAX];
  size_t key_len;
  bool outbound;   // the key begins with "from:"
  bool classifies; // sets check to other than 0
  char value[POLICY_VALUE_MAX];
  size_t value_len;
};

// 1 with the entry, 0 for a blank or comment line, -1 with why the line is
// bad in why (size bytes, NUL-terminated; the text after "line N: ").
int policy_parse_line(std::string_view line, policy_entry *e, char *why, size_t size);

// A compiled value written over r, with r->from_entry marking what it
// set: 0, or -1 when it does not decode (r untouched). Text in r points
// into value.
int policy_decode(std::string_view value, rule_set *r);

// A compiled policy, open for the rest of the process. It is read, not
// mapped: a message asks a few keys, and every page of a mapping that a
// lookup touches costs more than the reads.
struct policy_db {
  int fd = -1;          // -1: no compiled file, no entries
  bool classify[2];     // the meta record, by direction: inbound, outbound
  bool addresses[2];
  bool parents[2];
};

// 0 when open, also when the file is missing (then without entries); -1
// with errno when it exists but cannot be read, or EPROTO when it is no
// compiled policy.
int policy_open(policy_db *db, const char *path);
void policy_close(policy_db *db);
// Whether any entry of the direction sets check to other than 0.
bool policy_can_classify(const policy_db &db, bool outbound);
// Looks the address up (recipient, or with outbound the envelope sender):
// whole, then the domain after its last '@', then each parent of that
// domain with a leading dot, "from:" before each for a sender; an address
// without '@' whole only, an empty one not at all. Case does not count. A
// candidate longer than POLICY_KEY_MAX matches nothing, the shorter ones
// of the same address are still looked up. 1 with the first entry found
// written over r (r->entry its key; the texts in r are copies that last
// as long as the process); 0 when none matches (r untouched); -1 when the
// file is corrupt or cannot be read.
int policy_find(const policy_db &db, std::string_view address, bool outbound, rule_set *r);

#endif
