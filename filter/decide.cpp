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
  bool by_rule; // refused by a class rule or a threshold
  char rule[300];
  char reason[400];
};

__attribute__((format(printf, 3, 4))) void refuse(judgement *j, const refusal &why,
                                                  const char *fmt, ...) {
  j->code = why.code;
  j->why = why;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(j->reason, sizeof j->reason, fmt, ap);
  va_end(ap);
}

// A rule's name: the policy entry's setting where the entry set it, else
// the control file.
void refuse_by(judgement *j, const rule_set &rs, int rule_set::*setting, const char *file,
               int code, const char *words) {
  if (!setting || !policy_entry_named(rs, setting, j->rule, sizeof j->rule))
    std::snprintf(j->rule, sizeof j->rule, "%s", file);
  j->by_rule = true;
  refuse(j, {code, words, code == exit_perm ? PERMANENT : TEMPORARY}, "refused by %s", j->rule);
}

// The class rules of the settings, then the sender's totals: the first
// rule that fires decides.
void rules(const policy &p, const rule_set &rs, const ClassifyResult &r, judgement *j) {
  if (r.bluewhiteflag_num <= 1)
    for (const class_rule &c : class_rules)
      if (rs.*c.block == 1 && is(r.*c.field, c.class_name))
        return refuse_by(j, rs, c.block, c.file[p.dir == direction::outbound], exit_perm,
                         c.words);
  const settings &s = *p.s;
  for (const threshold &t : thresholds) {
    if (s.*t.num <= 0 || r.bluewhiteflag_num > t.max_bluewhite) continue;
    // Counts compare as unsigned 32-bit numbers: "-1" is the largest.
    const uint32_t count = static_cast<uint32_t>(number(r.*t.count));
    if (count < static_cast<uint32_t>(s.*t.num)) continue;
    if (s.*t.action == 1) return refuse_by(j, rs, nullptr, t.file, exit_temp, t.words[0]);
    if (s.*t.action == 2) return refuse_by(j, rs, nullptr, t.file, exit_perm, t.words[1]);
  }
}

// A set of settings that classifies the message, on what came back.
judgement judge(const policy &p, const rule_set &rs, const exchange &x, const ClassifyResult &r,
                bool usable) {
  judgement j = {};
  if (x.how == asked::failed) {
    if (rs.require_scan) refuse(&j, refusal_unavailable, "%s", x.why);
  } else if (!usable && rs.require_scan) {
    refuse(&j, refusal_unavailable, "daemon %s:%s: answer without the required X-ZELM- lines",
           p.daemon.host, p.daemon.port);
  } else {
    // An unusable answer is judged on the lines it did yield.
    rules(p, rs, r, &j);
  }
  return j;
}

// A refusal for good wins over one for now; among equals, the first.
bool stricter(const judgement &a, const judgement &than) {
  return a.code == exit_perm && than.code != exit_perm;
}
} // namespace

plan decide(const policy &p, const exchange &x, const ClassifyResult &r, bool usable) {
  plan pl = {};
  pl.refid = field_text(r.refid);
  // The winning refusal and tag-only refusal, each with its settings.
  judgement refusing = {}, tagging = {};
  const rule_set *refused_by = nullptr, *tagged_by = nullptr, *over = nullptr;
  bool classified = false;
  for (uint32_t i = 0; i < p.set_count; ++i) {
    const rule_set &rs = p.sets[i];
    if (rs.check && policy_over_size(rs, p.size) && !over) over = &rs;
    if (!policy_classifies(rs, p.size) || x.how == asked::no) continue;
    classified = true;
    const judgement j = judge(p, rs, x, r, usable);
    if (!j.code) continue;
    // Tag-only settings turn a refusal by a rule into a pass, noted.
    if (j.by_rule && rs.tag_only == 1) {
      if (!tagged_by || stricter(j, tagging)) tagging = j, tagged_by = &rs;
    } else if (!refused_by || stricter(j, refusing)) {
      refusing = j, refused_by = &rs;
    }
  }
  pl.report = x.how == asked::answered && p.sender_features &&
              (number(r.senderid_flags) & REPORT_FLAGS) != 0;
  if (refused_by) {
    pl.kind = plan_kind::refused;
    pl.code = refusing.code;
    pl.why = refusing.why;
    pl.custom_reply = refused_by->custom_reply == 1;
    pl.keep = refusing.by_rule && refused_by->quarantine == 1;
    std::snprintf(pl.rule, sizeof pl.rule, "%s", refusing.rule);
    std::snprintf(pl.reason, sizeof pl.reason, "%s", refusing.reason);
  } else if (!classified && over) {
    pl.kind = plan_kind::unscanned;
    char limit[300];
    if (!policy_entry_named(*over, &rule_set::max_size, limit, sizeof limit))
      std::snprintf(limit, sizeof limit, "control/zelmd_max_size");
    std::snprintf(pl.reason, sizeof pl.reason, "message of %llu bytes over %s %d",
                  static_cast<unsigned long long>(p.size), limit, over->max_size);
  } else if (!classified) {
    pl.kind = plan_kind::untouched;
  } else if (x.how == asked::failed) {
    pl.kind = plan_kind::unscanned;
    std::snprintf(pl.reason, sizeof pl.reason, "%s", x.why);
  } else {
    pl.kind = plan_kind::stamped;
    if (tagged_by) {
      pl.tagged = true;
      std::snprintf(pl.rule, sizeof pl.rule, "%s", tagging.rule);
      pl.subject_tag = tagged_by->subject_tag;
    }
  }
  return pl;
}
