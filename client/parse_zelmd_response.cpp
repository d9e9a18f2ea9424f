#include <cstdio>
#include <cstdlib>

#include "safe.h"
#include "str.h"
#include "zelmd_response.h"

namespace {
const char *text(const stralloc &sa) { return sa.s && sa.len ? sa.s : ""; }
} // namespace

int parse_zelmd_response(const char *answer, bool outbound, ClassifyResult *r) {
  r->bluewhiteflag_num = -1;
  // No answer at all reads like one without the required lines; each list
  // of lines is looked up in order, up to the first one missing.
  for (const zelmd_field &f : zelmd_fields)
    if (f.required && (!answer || !find_header_value(answer, f.name, &(r->*f.field)))) return -1;
  if (!outbound) return 0;
  bool all = true;
  for (const zelmd_field &f : zelmd_fields)
    if (f.outbound && !f.absent && all) all = find_header_value(answer, f.name, &(r->*f.field));
  if (all) r->outbound_headers = 1;
  for (const zelmd_field &f : zelmd_fields) {
    if (!f.absent) continue;
    stralloc &v = r->*f.field;
    if (!find_header_value(answer, f.name, &v)) stralloc_copyb(&v, f.absent, str_len(f.absent) + 1);
  }
  // strtol: a flag that is not a number counts as 0; an absent one is -1.
  r->bluewhiteflag_num = static_cast<int32_t>(std::strtol(text(r->bluewhiteflag), nullptr, 10));
  return 0;
}

size_t zelmd_response_line(char *buf, size_t size, const ClassifyResult &r, bool usable,
                           bool in_form, const char *remoteip, std::string_view mail_from) {
  const int from_len = static_cast<int>(mail_from.size() < 4096 ? mail_from.size() : 4096);
  const char *from = from_len ? mail_from.data() : "";
  char raw[4096];
  if (!usable)
    std::snprintf(raw, sizeof raw, "IP: %s - unable to processes response", remoteip);
  else if (in_form)
    std::snprintf(raw, sizeof raw, "IN  IP: %s, From: %.*s, sClass: %s, vClass: %s, RefID: %s",
                  remoteip, from_len, from, text(r.spam), text(r.vod), text(r.refid));
  else if (r.outbound_headers)
    std::snprintf(raw, sizeof raw,
                  "OUT IP: %s, From: %.*s, sClass: %s, vClass: %s, RefID: %s, SenderID: %s, "
                  "Flags: %s, TMsg: %s, TSpam: %s, TSus: %s, TVirus: %s, BWFlag: %s",
                  remoteip, from_len, from, text(r.spam), text(r.vod), text(r.refid), text(r.senderid),
                  text(r.senderid_flags), text(r.senderid_totalmessages),
                  text(r.senderid_totalspam), text(r.senderid_totalsuspected),
                  text(r.senderid_totalvirus), text(r.bluewhiteflag));
  else
    std::snprintf(raw, sizeof raw,
                  "OUT IP: %s, From: %.*s, sClass: %s, vClass: %s, RefID: %s, SenderID: N/A",
                  remoteip, from_len, from, text(r.spam), text(r.vod), text(r.refid));
  return safe_copy(buf, size, raw, false);
}
