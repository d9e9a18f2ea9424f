#include "subject.h"

#include "case.h"

namespace {
constexpr char name[] = "subject";

bool blank(char c) { return c == ' ' || c == '\t'; }
} // namespace

void subject_scan_feed(subject_scan *s, const char *buf, size_t len) {
  for (size_t i = 0; i < len && !s->found; ++i) {
    const char c = buf[i];
    switch (s->state) {
    case subject_scan::after_colon:
      if (blank(c)) break;
      s->found = true;
      s->at = s->offset + i;
      break;
    case subject_scan::name:
      if (s->matched < sizeof name - 1 && case_lower(c) == name[s->matched]) {
        if (++s->matched == sizeof name - 1) s->state = subject_scan::after_name;
        break;
      }
      [[fallthrough]];
    case subject_scan::after_name:
      if (s->state == subject_scan::after_name && blank(c)) break;
      if (s->state == subject_scan::after_name && c == ':') {
        s->state = subject_scan::after_colon;
        break;
      }
      [[fallthrough]];
    case subject_scan::in_line:
      s->state = c == '\n'   ? subject_scan::line_start
                 : c == '\r' ? subject_scan::after_cr
                             : subject_scan::in_line;
      break;
    case subject_scan::after_cr:
      if (c == '\n' || c == '\r') {
        s->state = c == '\n' ? subject_scan::line_start : subject_scan::after_cr;
        break;
      }
      [[fallthrough]]; // a bare CR ended the line
    case subject_scan::line_start:
      s->matched = case_lower(c) == name[0];
      s->state = s->matched        ? subject_scan::name
                 : c == '\n'       ? subject_scan::line_start
                 : c == '\r'       ? subject_scan::after_cr
                                   : subject_scan::in_line;
      break;
    }
  }
  if (!s->found) s->offset += len;
}

void subject_scan_end(subject_scan *s) {
  if (s->found || s->state != subject_scan::after_colon) return;
  s->found = true;
  s->at = s->offset;
}
