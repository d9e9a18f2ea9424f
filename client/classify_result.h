#ifndef CLASSIFY_RESULT_H
#define CLASSIFY_RESULT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "stralloc.h"

// The daemon's verdict on one message. Filled text fields are
// NUL-terminated; a field never filled is empty.
struct ClassifyResult {
  stralloc pver;
  stralloc spam;
  stralloc vod;
  stralloc flags;
  stralloc refid;
  stralloc senderid;
  stralloc senderid_flags;
  stralloc senderid_totalmessages;
  stralloc senderid_totalspam;
  stralloc senderid_totalsuspected;
  stralloc senderid_totalvirus;
  stralloc bluewhiteflag;
  int32_t bluewhiteflag_num;
  int outbound_headers; // 1: every sender line was found
};

// A field's text: what a line the parser found gave, up to its NUL; empty
// for a field never filled, whatever its storage still holds.
inline std::string_view field_text(const stralloc &sa) {
  if (!sa.s || !sa.len) return {};
  const std::string_view v(sa.s, sa.len);
  return v.substr(0, v.find('\0'));
}

// Every X-ZELM- line of an answer the filter reads, in the order it looks
// them up. The required ones make an answer usable; the outbound ones are
// read only for outbound mail with the sender features on, and the sender
// lines (those without a value for absence) only up to the first missing.
struct zelmd_field {
  const char *name;  // in the answer
  const char *stamp; // the line stamped into the message, name and ": "; null: none
  stralloc ClassifyResult::*field;
  bool required;
  bool outbound;
  const char *absent; // what the field holds when the line is missing; null: empty
};
inline constexpr size_t ZELMD_FIELDS = 12;
extern const zelmd_field zelmd_fields[ZELMD_FIELDS];
// The stamped lines in the order they are written: indexes into
// zelmd_fields; the first four stand for every classified message.
inline constexpr size_t ZELMD_STAMPS = 11;
extern const uint8_t zelmd_stamp_order[ZELMD_STAMPS];

#endif
