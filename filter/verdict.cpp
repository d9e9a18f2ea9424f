#include <cstdlib>

#include "exitcode.h"
#include "qmail-zelmd.h"
#include "str.h"

namespace {
constexpr long REPORT_FLAGS = 0x3FE; // sender flag bits 1 to 9 ask for a copy

long number(const stralloc &sa) { return sa.s && sa.len ? std::strtol(sa.s, nullptr, 10) : 0; }

bool is(const stralloc &sa, const char *s) { return sa.s && sa.len && !str_diff(sa.s, s); }

// Refusals for good and for now, as the sender is told of them.
constexpr char PERMANENT[] = "5.7.1", TEMPORARY[] = "4.7.1";

struct class_rule {
  int direction_settings::*block;
  stralloc ClassifyResult::*field;
  const char *class_name;
  const char *file[2]; // inbound, outbound
  const char *words;
};

const class_rule class_rules[] = {
    {&direction_settings::zelmd_block_spam, &ClassifyResult::spam, "Confirmed",
     {"control/zelmd_onsession_in_block_spam", "control/zelmd_onsession_out_block_spam"},
     "message refused as spam"},
    {&direction_settings::zelmd_block_bulk, &ClassifyResult::spam, "Bulk",
     {"control/zelmd_onsession_in_block_bulk", "control/zelmd_onsession_out_block_bulk"},
     "message refused as bulk mail"},
    {&direction_settings::zelmd_block_virus, &ClassifyResult::vod, "Virus",
     {"control/zelmd_onsession_in_block_virus", "control/zelmd_onsession_out_block_virus"},
     "message refused: it carries a virus"},
    {&direction_settings::zelmd_block_vhigh, &ClassifyResult::vod, "High",
     {"control/zelmd_onsession_in_block_vhigh", "control/zelmd_onsession_out_block_vhigh"},
     "message refused: high virus risk"},
};

struct threshold {
  const char *file;
  int settings::*num;
  int settings::*action;
  stralloc ClassifyResult::*count;
  int max_bluewhite; // the rule is skipped for a higher blue/white flag
  const char *words[2]; // for now (action 1), for good (action 2)
};

// Tested in this order; the first that fires decides.
const threshold thresholds[] = {
    {"control/zelmd_onsession_out_totspam_num", &settings::zelmd_out_totspam_num,
     &settings::zelmd_out_totspam_action, &ClassifyResult::senderid_totalspam, 1,
     {"message not accepted now: the sender has sent too much spam",
      "message refused: the sender has sent too much spam"}},
    {"control/zelmd_onsession_out_totsusp_num", &settings::zelmd_out_totsusp_num,
     &settings::zelmd_out_totsusp_action, &ClassifyResult::senderid_totalsuspected, 0,
     {"message not accepted now: the sender has sent too many suspect messages",
      "message refused: the sender has sent too many suspect messages"}},
    {"control/zelmd_onsession_out_totvirus_num", &settings::zelmd_out_totvirus_num,
     &settings::zelmd_out_totvirus_action, &ClassifyResult::senderid_totalvirus, 1,
     {"message not accepted now: the sender has sent too many viruses",
      "message refused: the sender has sent too many viruses"}},
    {"control/zelmd_onsession_out_totmsgs_num", &settings::zelmd_out_totmsgs_num,
     &settings::zelmd_out_totmsgs_action, &ClassifyResult::senderid_totalmessages, 0,
     {"message not accepted now: the sender has sent too many messages",
      "message refused: the sender has sent too many messages"}},
};

void refuse(decision *d, int code, const char *rule, const char *words) {
  d->code = code;
  d->rule = rule;
  d->why = {code, words, code == exit_perm ? PERMANENT : TEMPORARY};
}

void rules(const settings &s, const ClassifyResult &r, decision *d) {
  const direction_settings &ds = s.active();
  if (r.bluewhiteflag_num <= 1)
    for (const class_rule &c : class_rules)
      if (ds.*c.block == 1 && is(r.*c.field, c.class_name))
        return refuse(d, exit_perm, c.file[s.dir == direction::outbound], c.words);
  for (const threshold &t : thresholds) {
    if (s.*t.num <= 0 || r.bluewhiteflag_num > t.max_bluewhite) continue;
    // Counts compare as unsigned 32-bit numbers: "-1" is the largest.
    const uint32_t count = static_cast<uint32_t>(number(r.*t.count));
    if (count < static_cast<uint32_t>(s.*t.num)) continue;
    if (s.*t.action == 1) return refuse(d, exit_temp, t.file, t.words[0]);
    if (s.*t.action == 2) return refuse(d, exit_perm, t.file, t.words[1]);
  }
}
} // namespace

decision verdict(const settings &s, const ClassifyResult &r) {
  decision d = {};
  rules(s, r, &d);
  d.report = s.sender_features() && (number(r.senderid_flags) & REPORT_FLAGS) != 0;
  return d;
}
