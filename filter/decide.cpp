#include "decide.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "exitcode.h"
#include "str.h"

namespace {
constexpr long REPORT_FLAGS = 0x3FE; // sender flag bits 1 to 9 ask for a copy

long number(const stralloc &sa) { return sa.s && sa.len ? std::strtol(sa.s, nullptr, 10) : 0; }

bool is(const stralloc &sa, const char *s) { return sa.s && sa.len && !str_diff(sa.s, s); }

// Refusals for good and for now, as the sender is told of them.
constexpr char PERMANENT[] = "5.7.1", TEMPORARY[] = "4.7.1";

struct class_rule {
  int rule_set::*block;
  stralloc ClassifyResult::*field;
  const char *class_name;
  const char *file[2]; // inbound, outbound
  const char *words;
};

const class_rule class_rules[] = {
    {&rule_set::block_spam, &ClassifyResult::spam, "Confirmed",
     {"control/zelmd_onsession_in_block_spam", "control/zelmd_onsession_out_block_spam"},
     "message refused as spam"},
    {&rule_set::block_bulk, &ClassifyResult::spam, "Bulk",
     {"control/zelmd_onsession_in_block_bulk", "control/zelmd_onsession_out_block_bulk"},
     "message refused as bulk mail"},
    {&rule_set::block_virus, &ClassifyResult::vod, "Virus",
     {"control/zelmd_onsession_in_block_virus", "control/zelmd_onsession_out_block_virus"},
     "message refused: it carries a virus"},
    {&rule_set::block_vhigh, &ClassifyResult::vod, "High",
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

// What one set of settings says of the message.
struct judgement {
  int code; // 0: passes
  refusal why;
  const char *rule; // the rule that refused; null for a refusal without one
  char reason[400];
};

__attribute__((format(printf, 4, 5))) void refuse(judgement *j, const refusal &why,
                                                  const char *rule, const char *fmt, ...) {
  j->code = why.code;
  j->why = why;
  j->rule = rule;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(j->reason, sizeof j->reason, fmt, ap);
  va_end(ap);
}

void refuse_by(judgement *j, int code, const char *rule, const char *words) {
  refuse(j, {code, words, code == exit_perm ? PERMANENT : TEMPORARY}, rule, "refused by %s", rule);
}

// The class rules of the settings, then the sender's totals: the first
// rule that fires decides.
void rules(const policy &p, const rule_set &rs, const ClassifyResult &r, judgement *j) {
  if (r.bluewhiteflag_num <= 1)
    for (const class_rule &c : class_rules)
      if (rs.*c.block == 1 && is(r.*c.field, c.class_name))
        return refuse_by(j, exit_perm, c.file[p.dir == direction::outbound], c.words);
  const settings &s = *p.s;
  for (const threshold &t : thresholds) {
    if (s.*t.num <= 0 || r.bluewhiteflag_num > t.max_bluewhite) continue;
    // Counts compare as unsigned 32-bit numbers: "-1" is the largest.
    const uint32_t count = static_cast<uint32_t>(number(r.*t.count));
    if (count < static_cast<uint32_t>(s.*t.num)) continue;
    if (s.*t.action == 1) return refuse_by(j, exit_temp, t.file, t.words[0]);
    if (s.*t.action == 2) return refuse_by(j, exit_perm, t.file, t.words[1]);
  }
}

// A set of settings that classifies the message, on what came back.
judgement judge(const policy &p, const rule_set &rs, const exchange &x, const ClassifyResult &r,
                bool usable) {
  judgement j = {};
  if (x.how == asked::failed) {
    if (rs.require_scan) refuse(&j, refusal_unavailable, nullptr, "%s", x.why);
  } else if (!usable && rs.require_scan) {
    refuse(&j, refusal_unavailable, nullptr,
           "daemon %s:%s: answer without the required X-ZELM- lines", p.daemon.host,
           p.daemon.port);
  } else {
    // An unusable answer is judged on the lines it did yield.
    rules(p, rs, r, &j);
  }
  return j;
}
} // namespace

plan decide(const policy &p, const exchange &x, const ClassifyResult &r, bool usable) {
  plan pl = {};
  pl.refid = field_text(r.refid);
  // A refusal for good wins over one for now; among equals, the first.
  const judgement *refusing = nullptr;
  judgement j;
  bool classified = false;
  for (uint32_t i = 0; i < p.set_count && x.how != asked::no; ++i) {
    const rule_set &rs = p.sets[i];
    if (!policy_classifies(rs, p.size)) continue;
    classified = true;
    const judgement one = judge(p, rs, x, r, usable);
    if (!one.code || (refusing && (refusing->code == exit_perm || one.code != exit_perm)))
      continue;
    j = one;
    refusing = &j;
    pl.custom_reply = rs.custom_reply == 1;
  }
  pl.report = x.how == asked::answered && p.sender_features &&
              (number(r.senderid_flags) & REPORT_FLAGS) != 0;
  if (refusing) {
    pl.kind = plan_kind::refused;
    pl.code = j.code;
    pl.why = j.why;
    std::snprintf(pl.rule, sizeof pl.rule, "%s", j.rule ? j.rule : "");
    std::snprintf(pl.reason, sizeof pl.reason, "%s", j.reason);
  } else if (!classified) {
    pl.kind = plan_kind::untouched;
  } else if (x.how == asked::failed) {
    pl.kind = plan_kind::unscanned;
    std::snprintf(pl.reason, sizeof pl.reason, "%s", x.why);
  } else {
    pl.kind = plan_kind::stamped;
  }
  return pl;
}
