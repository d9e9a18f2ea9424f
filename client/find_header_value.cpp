#include "str.h"
#include "zelmd_response.h"

// The answer's lines are "Name: value" ended by CR LF. Spaces vanish
// wherever they stand, colons only separate, and a line counts only when
// its carriage return is reached; the first matching line wins.
int find_header_value(const char *answer, const char *name, stralloc *value) {
  static stralloc line_name;
  bool past_colon = false;
  line_name.len = 0;
  value->len = 0;
  for (const char *p = answer; *p; ++p) {
    switch (*p) {
    case '\n':
      line_name.len = 0;
      value->len = 0;
      past_colon = false;
      break;
    case ' ':
      break;
    case '\r':
      if (!stralloc_append(value, "")) break;
      // A line without a colon has no name to match.
      if (past_colon && !str_diff(line_name.s, name)) return 1;
      break;
    case ':':
      stralloc_append(&line_name, "");
      past_colon = true;
      break;
    default:
      stralloc_append(past_colon ? value : &line_name, p);
    }
  }
  value->len = 0;
  return 0;
}
