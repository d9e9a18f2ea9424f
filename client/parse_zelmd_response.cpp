#include <cstdlib>

#include "log.h"
#include "str.h"
#include "zelmd_response.h"

int outbound_headers = 0;

namespace {
struct wanted {
  const char *name;
  stralloc ClassifyResult::*field;
};

const wanted required[] = {
    {"X-ZELM-PVer", &ClassifyResult::pver},   {"X-ZELM-Spam", &ClassifyResult::spam},
    {"X-ZELM-VOD", &ClassifyResult::vod},     {"X-ZELM-Flags", &ClassifyResult::flags},
    {"X-ZELM-RefID", &ClassifyResult::refid},
};

const wanted sender[] = {
    {"X-ZELM-SenderID", &ClassifyResult::senderid},
    {"X-ZELM-SenderID-Flags", &ClassifyResult::senderid_flags},
    {"X-ZELM-SenderID-TotalMessages", &ClassifyResult::senderid_totalmessages},
    {"X-ZELM-SenderID-TotalSpam", &ClassifyResult::senderid_totalspam},
    {"X-ZELM-SenderID-TotalSuspected", &ClassifyResult::senderid_totalsuspected},
    {"X-ZELM-SenderID-TotalVirus", &ClassifyResult::senderid_totalvirus},
};

const char *text(const stralloc &sa) { return sa.s && sa.len ? sa.s : ""; }

bool is(const stralloc &sa, const char *s) { return !str_diff(text(sa), s); }

// Every lookup must succeed, in order; the first one missing ends them.
template <size_t N> bool find_all(const char *answer, ClassifyResult *r, const wanted (&list)[N]) {
  for (const wanted &w : list)
    if (!find_header_value(answer, w.name, &(r->*w.field))) return false;
  return true;
}

void log_verdict(const ClassifyResult *r) {
  if (zelmd_check_inbound == 1)
    log_printf("IN  IP: %s, From: %s, sClass: %s, vClass: %s, RefID: %s", remoteip, mail_from,
             text(r->spam), text(r->vod), text(r->refid));
  else if (outbound_headers == 1)
    log_printf("OUT IP: %s, From: %s, sClass: %s, vClass: %s, RefID: %s, SenderID: %s, Flags: %s, "
             "TMsg: %s, TSpam: %s, TSus: %s, TVirus: %s, BWFlag: %s",
             remoteip, mail_from, text(r->spam), text(r->vod), text(r->refid), text(r->senderid),
             text(r->senderid_flags), text(r->senderid_totalmessages), text(r->senderid_totalspam),
             text(r->senderid_totalsuspected), text(r->senderid_totalvirus),
             text(r->bluewhiteflag));
  else
    log_printf("OUT IP: %s, From: %s, sClass: %s, vClass: %s, RefID: %s, SenderID: N/A", remoteip,
             mail_from, text(r->spam), text(r->vod), text(r->refid));
}
} // namespace

int parse_zelmd_response(const char *answer, ClassifyResult *r) {
  r->bluewhiteflag_num = -1;
  // No answer at all reads like one without the required lines.
  if (!answer || !find_all(answer, r, required)) {
    log_printf("IP: %s - unable to processes response", remoteip);
    return 4;
  }
  if (zelmd_check_outbound == 1) {
    if (find_all(answer, r, sender)) outbound_headers = 1;
    if (find_header_value(answer, "X-ZELM-SenderID-BlueWhiteFlag", &r->bluewhiteflag)) {
      r->bluewhiteflag_num = static_cast<int32_t>(std::strtol(r->bluewhiteflag.s, nullptr, 10));
    } else {
      stralloc_copyb(&r->bluewhiteflag, "-1", 3);
      r->bluewhiteflag_num = -1;
    }
  }
  log_verdict(r);
  int code = 3;
  if (r->bluewhiteflag_num <= 1) {
    if (is(r->spam, "Confirmed")) code = 0;
    else if (is(r->spam, "Bulk")) code = 1;
    else if (is(r->vod, "Virus")) code = 2;
  }
  return code;
}
