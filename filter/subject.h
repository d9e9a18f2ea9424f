#ifndef SUBJECT_H
#define SUBJECT_H

#include <cstddef>
#include <cstdint>

// Where a subject tag goes: right before the value of the header's first
// Subject: field (behind the blanks that follow its colon). Lines end as
// the forged-field filter ends them, at a LF and at a CR that no LF
// follows. Fed the header in pieces of any size; a zeroed state stands at
// the start of the message.
struct subject_scan {
  uint64_t offset; // header bytes fed so far
  uint64_t at;     // found: the value's offset in the message
  bool found;
  enum { line_start, name, after_name, after_colon, in_line, after_cr } state;
  uint32_t matched; // letters of "subject" matched
};
void subject_scan_feed(subject_scan *s, const char *buf, size_t len);
// The header has ended: a Subject: field at its very end takes the tag there.
void subject_scan_end(subject_scan *s);

#endif
