#include <cstdlib>

#include "exitcode.h"
#include "qmail-zelmd.h"
#include "str.h"

namespace {
constexpr long REPORT_FLAGS = 0x3FE; // sender flag bits 1 to 9 ask for a copy

long number(const stralloc &sa) { return sa.s && sa.len ? std::strtol(sa.s, nullptr, 10) : 0; }

bool is(const stralloc &sa, const char *s) { return sa.s && sa.len && !str_diff(sa.s, s); }

struct class_rule {
  int direction_settings::*block;
  stralloc ClassifyResult::*field;
  const char *class_name;
  const char *file[2]; // inbound, outbound
};

const class_rule class_rules[] = {
    {&direction_settings::zelmd_block_spam, &ClassifyResult::spam, "Confirmed",
     {"control/zelmd_onsession_in_block_spam", "control/zelmd_onsession_out_block_spam"}},
    {&direction_settings::zelmd_block_bulk, &ClassifyResult::spam, "Bulk",
     {"control/zelmd_onsession_in_block_bulk", "control/zelmd_onsession_out_block_bulk"}},
    {&direction_settings::zelmd_block_virus, &ClassifyResult::vod, "Virus",
     {"control/zelmd_onsession_in_block_virus", "control/zelmd_onsession_out_block_virus"}},
    {&direction_settings::zelmd_block_vhigh, &ClassifyResult::vod, "High",
     {"control/zelmd_onsession_in_block_vhigh", "control/zelmd_onsession_out_block_vhigh"}},
};

struct threshold {
  const char *file;
  int settings::*num;
  int settings::*action;
  stralloc ClassifyResult::*count;
  int max_bluewhite; // the rule is skipped for a higher blue/white flag
};

// Tested in this order; the first that fires decides.
const threshold thresholds[] = {
    {"control/zelmd_onsession_out_totspam_num", &settings::zelmd_out_totspam_num,
     &settings::zelmd_out_totspam_action, &ClassifyResult::senderid_totalspam, 1},
    {"control/zelmd_onsession_out_totsusp_num", &settings::zelmd_out_totsusp_num,
     &settings::zelmd_out_totsusp_action, &ClassifyResult::senderid_totalsuspected, 0},
    {"control/zelmd_onsession_out_totvirus_num", &settings::zelmd_out_totvirus_num,
     &settings::zelmd_out_totvirus_action, &ClassifyResult::senderid_totalvirus, 1},
    {"control/zelmd_onsession_out_totmsgs_num", &settings::zelmd_out_totmsgs_num,
     &settings::zelmd_out_totmsgs_action, &ClassifyResult::senderid_totalmessages, 0},
};

int rules_code(const settings &s, const ClassifyResult &r, const char **rule) {
  const direction_settings &d = s.active();
  if (r.bluewhiteflag_num <= 1)
    for (const class_rule &c : class_rules)
      if (d.*c.block == 1 && is(r.*c.field, c.class_name)) {
        *rule = c.file[s.dir == direction::outbound];
        return exit_perm;
      }
  for (const threshold &t : thresholds) {
    if (s.*t.num <= 0 || r.bluewhiteflag_num > t.max_bluewhite) continue;
    // Counts compare as unsigned 32-bit numbers: "-1" is the largest.
    const uint32_t count = static_cast<uint32_t>(number(r.*t.count));
    if (count < static_cast<uint32_t>(s.*t.num)) continue;
    *rule = t.file;
    if (s.*t.action == 1) return exit_temp;
    if (s.*t.action == 2) return exit_perm;
  }
  *rule = nullptr;
  return exit_ok;
}
} // namespace

decision verdict(const settings &s, const ClassifyResult &r) {
  decision d = {};
  d.code = rules_code(s, r, &d.rule);
  d.report = s.sender_features() && (number(r.senderid_flags) & REPORT_FLAGS) != 0;
  return d;
}
