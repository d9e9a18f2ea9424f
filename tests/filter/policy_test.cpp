// The refusal rules and the report flag at function level: one answer,
// one set of settings, one decision.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "qmail-zelmd.h"

namespace {

using field = stralloc ClassifyResult::*;
const field SPAM = &ClassifyResult::spam, VOD = &ClassifyResult::vod,
            FLAGS = &ClassifyResult::senderid_flags, TSPAM = &ClassifyResult::senderid_totalspam,
            TSUSP = &ClassifyResult::senderid_totalsuspected,
            TVIRUS = &ClassifyResult::senderid_totalvirus,
            TMSGS = &ClassifyResult::senderid_totalmessages;
using sw = int direction_settings::*;
const sw B_SPAM = &direction_settings::zelmd_block_spam,
         B_BULK = &direction_settings::zelmd_block_bulk,
         B_VIRUS = &direction_settings::zelmd_block_virus,
         B_VHIGH = &direction_settings::zelmd_block_vhigh, CHECK = &direction_settings::zelmd_check;
const direction in = direction::inbound, out = direction::outbound;
using answer = std::vector<std::pair<field, const char *>>;
const answer nines = {{TSPAM, "9"}, {TSUSP, "9"}, {TVIRUS, "9"}, {TMSGS, "9"}};
const char *const F = "control/zelmd_onsession_"; // rule names below go without it

TEST(Policy, Verdict) {
  const struct {
    const char *name;
    direction dir;
    std::vector<std::tuple<direction, sw, int>> switches{};
    int totals[4][2]{}; // num and action: spam, suspected, virus, messages
    answer fields{};
    int32_t bw = 0;
    int code = 0;
    const char *rule = nullptr;
    bool report = false;
  } rows[] = {
      // Class rules: the switch of the message's direction at exactly 1.
      {"in spam", in, {{in, B_SPAM, 1}}, {}, {{SPAM, "Confirmed"}}, 0, 31, "in_block_spam"},
      {"out spam", out, {{out, B_SPAM, 1}}, {}, {{SPAM, "Confirmed"}}, 0, 31, "out_block_spam"},
      {"other direction's switch", out, {{in, B_SPAM, 1}}, {}, {{SPAM, "Confirmed"}}},
      {"switch 2", in, {{in, B_SPAM, 2}}, {}, {{SPAM, "Confirmed"}}},
      {"in bulk", in, {{in, B_BULK, 1}}, {}, {{SPAM, "Bulk"}}, 0, 31, "in_block_bulk"},
      {"out virus", out, {{out, B_VIRUS, 1}}, {}, {{VOD, "Virus"}}, 0, 31, "out_block_virus"},
      {"lower case", in, {{in, B_SPAM, 1}}, {}, {{SPAM, "confirmed"}}},
      {"a prefix of the name", in, {{in, B_VIRUS, 1}}, {}, {{VOD, "Viru"}}},
      {"flag 1 refused", in, {{in, B_SPAM, 1}}, {}, {{SPAM, "Confirmed"}}, 1, 31, "in_block_spam"},
      {"flag 2 passes", in, {{in, B_SPAM, 1}}, {}, {{SPAM, "Confirmed"}}, 2},
      // Thresholds: reached at num, off at num <= 0, counts unsigned 32-bit.
      {"reached", out, {}, {{5, 1}}, {{TSPAM, "5"}}, 0, 71, "out_totspam_num"},
      {"one short", out, {}, {{5, 1}}, {{TSPAM, "4"}}},
      {"num 0 is off", out, {}, {{0, 1}}, {{TSPAM, "5"}}},
      {"num -1 is off", out, {}, {{-1, 1}}, {{TSPAM, "-1"}}},
      {"-1 is the largest", out, {}, {{}, {}, {2000000000, 2}}, {{TVIRUS, "-1"}}, 0, 31,
       "out_totvirus_num"},
      {"4294967296 counts 0", out, {}, {{}, {}, {}, {1, 1}}, {{TMSGS, "4294967296"}}},
      {"other action, nothing after", out, {}, {{1, 3}}, {{TSPAM, "9"}}},
      {"other action: the next decides", out, {}, {{1, 3}, {1, 2}, {1, 1}, {1, 1}}, nines, 0, 31,
       "out_totsusp_num"},
      // The first rule that fires decides.
      {"class rule first", out, {{out, B_SPAM, 1}}, {{1, 1}}, {{SPAM, "Confirmed"}, {TSPAM, "9"}},
       0, 31, "out_block_spam"},
      {"spam total first", out, {}, {{1, 1}, {1, 2}, {1, 2}, {1, 2}}, nines, 0, 71,
       "out_totspam_num"},
      {"virus before messages", out, {}, {{}, {}, {1, 1}, {1, 2}}, nines, 0, 71,
       "out_totvirus_num"},
      // Flag guards: spam and virus totals up to 1, the other two up to 0.
      {"flag 1 keeps spam", out, {}, {{1, 1}}, {{TSPAM, "9"}}, 1, 71, "out_totspam_num"},
      {"flag 2 skips spam", out, {}, {{1, 1}}, {{TSPAM, "9"}}, 2},
      {"flag 1 skips suspected", out, {}, {{}, {1, 2}, {1, 1}}, nines, 1, 71, "out_totvirus_num"},
      {"flag 1 skips messages", out, {}, {{}, {}, {}, {1, 1}}, {{TMSGS, "9"}}, 1},
      {"flag 0 keeps messages", out, {}, {{}, {}, {}, {1, 1}}, {{TMSGS, "9"}}, 0, 71,
       "out_totmsgs_num"},
      {"flag 2 skips all", out, {{out, B_SPAM, 1}}, {{1, 1}, {1, 1}, {1, 1}, {1, 1}},
       {{SPAM, "Confirmed"}, {TSPAM, "9"}, {TSUSP, "9"}, {TVIRUS, "9"}, {TMSGS, "9"}}, 2},
      // The report copy: sender flag bits 1 to 9, outbound with its switch at 1.
      {"bit 1", out, {{out, CHECK, 1}}, {}, {{FLAGS, "2"}}, 0, 0, nullptr, true},
      {"bit 9", out, {{out, CHECK, 1}}, {}, {{FLAGS, "512"}}, 0, 0, nullptr, true},
      {"bits 0 and 10", out, {{out, CHECK, 1}}, {}, {{FLAGS, "1025"}}},
      {"with a refusal", out, {{out, CHECK, 1}, {out, B_VHIGH, 1}}, {},
       {{VOD, "High"}, {FLAGS, "2"}}, 0, 31, "out_block_vhigh", true},
      {"outbound switch 2", out, {{out, CHECK, 2}}, {}, {{FLAGS, "2"}}},
      {"inbound", in, {{in, CHECK, 1}, {out, CHECK, 1}}, {}, {{FLAGS, "2"}}},
  };
  int settings::*const totals[4][2] = {
      {&settings::zelmd_out_totspam_num, &settings::zelmd_out_totspam_action},
      {&settings::zelmd_out_totsusp_num, &settings::zelmd_out_totsusp_action},
      {&settings::zelmd_out_totvirus_num, &settings::zelmd_out_totvirus_action},
      {&settings::zelmd_out_totmsgs_num, &settings::zelmd_out_totmsgs_action}};
  for (const auto &row : rows) {
    settings s{};
    s.dir = row.dir;
    // Through a pointer: GCC 12 writes (c ? s.out : s.in).*m to a copy.
    for (const auto &[side, m, v] : row.switches) (side == out ? &s.out : &s.in)->*m = v;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 2; ++j) s.*totals[i][j] = row.totals[i][j];
    ClassifyResult r{};
    for (const auto &[f, v] : row.fields) stralloc_copyb(&(r.*f), v, std::strlen(v) + 1);
    r.bluewhiteflag_num = row.bw;
    const decision d = verdict(s, r);
    EXPECT_EQ(d.code, row.code) << row.name;
    EXPECT_EQ(d.rule ? std::string(d.rule) : "", row.rule ? F + std::string(row.rule) : "")
        << row.name;
    EXPECT_EQ(d.report, row.report) << row.name;
  }
}

} // namespace
