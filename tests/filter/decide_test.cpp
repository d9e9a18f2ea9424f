// The one decision at function level: what applies to the message, what
// came of asking the daemon, one answer, one plan.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include <fcntl.h>

#include "../lib/scratch_dir.h"
#include "decide.h"
#include "fd.h"
#include "policy_compile.h"

using namespace std::string_literals;

namespace {

using field = stralloc ClassifyResult::*;
const field SPAM = &ClassifyResult::spam, VOD = &ClassifyResult::vod,
            FLAGS = &ClassifyResult::senderid_flags, TSPAM = &ClassifyResult::senderid_totalspam,
            TSUSP = &ClassifyResult::senderid_totalsuspected,
            TVIRUS = &ClassifyResult::senderid_totalvirus,
            TMSGS = &ClassifyResult::senderid_totalmessages;
using sw = int direction_settings::*;
using kind = plan_kind;
const sw B_SPAM = &direction_settings::zelmd_block_spam,
         B_BULK = &direction_settings::zelmd_block_bulk,
         B_VIRUS = &direction_settings::zelmd_block_virus,
         B_VHIGH = &direction_settings::zelmd_block_vhigh, CHECK = &direction_settings::zelmd_check;
const direction in = direction::inbound, out = direction::outbound;
using answer = std::vector<std::pair<field, const char *>>;
const answer nines = {{TSPAM, "9"}, {TSUSP, "9"}, {TVIRUS, "9"}, {TMSGS, "9"}};
const char *const F = "control/zelmd_onsession_"; // rule names below go without it

// What applies to a message of the direction under s.
policy policy_of(const settings &s, direction dir) {
  const client c = {"192.0.2.7", dir == out ? "" : nullptr, nullptr};
  envelope e = {};
  failure f = {};
  stralloc_copyb(&e.items, "Fa@x\0Tb@y\0", 10);
  EXPECT_EQ(envelope_addresses(&e, &f), 0);
  policy p;
  EXPECT_EQ(policy_for(s, c, e, 100, &p, &f), 0);
  return p;
}

ClassifyResult filled(const answer &fields, int32_t bw) {
  ClassifyResult r{};
  for (const auto &[f, v] : fields) stralloc_copyb(&(r.*f), v, std::strlen(v) + 1);
  r.bluewhiteflag_num = bw;
  return r;
}

TEST(Decide, Rules) {
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
    s.in.zelmd_check = s.out.zelmd_check = 3; // classified, without the features of 1
    // Through a pointer: GCC 12 writes (c ? s.out : s.in).*m to a copy.
    for (const auto &[side, m, v] : row.switches) (side == out ? &s.out : &s.in)->*m = v;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 2; ++j) s.*totals[i][j] = row.totals[i][j];
    const plan d = decide(policy_of(s, row.dir), {asked::answered, nullptr},
                          filled(row.fields, row.bw), true);
    EXPECT_EQ(d.kind, row.code ? kind::refused : kind::stamped) << row.name;
    EXPECT_EQ(d.code, row.code) << row.name;
    EXPECT_EQ(std::string(d.rule), row.rule ? F + std::string(row.rule) : "") << row.name;
    EXPECT_EQ(std::string(d.reason), row.rule ? "refused by " + std::string(d.rule) : "");
    EXPECT_EQ(d.report, row.report) << row.name;
  }
}

// What came of asking the daemon, under require_scan: a daemon that could
// not be consulted, an answer without the required lines (judged on what
// it holds unless a scan is required), a full one; and nothing asked.
TEST(Decide, Exchange) {
  const answer partial = {{SPAM, "Confirmed"}, {FLAGS, "0"}}; // no RefID: unusable
  const answer full = {{SPAM, "Confirmed"}, {&ClassifyResult::refid, "r-9"}};
  const asked no = asked::no, answered = asked::answered, failed = asked::failed;
  const char *const unusable = "daemon localhost:8088: answer without the required X-ZELM- lines";
  const struct {
    const char *name;
    int check, require_scan, block_spam;
    asked how;
    bool usable;
    answer fields;
    kind want;
    int code;
    const char *reason; // refused or unscanned: the reason line's text
    const char *refid = "";
  } rows[] = {
      {"not classified", 0, 1, 1, no, false, {}, kind::untouched, 0, ""},
      {"failed, scan not required", 1, 0, 1, failed, false, {}, kind::unscanned, 0, "down"},
      {"failed, scan required", 1, 1, 1, failed, false, {}, kind::refused, 71, "down"},
      {"failed, require_scan 2 acts", 1, 2, 1, failed, false, {}, kind::refused, 71, "down"},
      {"partial answer judged on what it holds", 1, 0, 1, answered, false, partial,
       kind::refused, 31, "refused by control/zelmd_onsession_in_block_spam"},
      {"partial answer, no rule", 1, 0, 0, answered, false, partial, kind::stamped, 0, ""},
      {"partial answer, scan required", 1, 1, 1, answered, false, partial, kind::refused, 71,
       unusable},
      {"full answer", 1, 1, 1, answered, true, full, kind::refused, 31,
       "refused by control/zelmd_onsession_in_block_spam", "r-9"},
      {"full answer, no rule", 1, 1, 0, answered, true, full, kind::stamped, 0, "", "r-9"},
  };
  for (const auto &row : rows) {
    settings s{};
    s.in.zelmd_check = row.check;
    s.zelmd_require_scan = row.require_scan;
    s.in.zelmd_block_spam = row.block_spam;
    s.zelmd_custom_reply = 1;
    ClassifyResult r = filled(row.fields, -1);
    // A field the parser never found may still hold bytes of other lines.
    if (!r.refid.len) stralloc_copyb(&r.refid, "stale", 5), r.refid.len = 0;
    const plan d = decide(policy_of(s, in), {row.how, "down"}, r, row.usable);
    EXPECT_EQ(d.kind, row.want) << row.name;
    EXPECT_EQ(d.code, row.code) << row.name;
    EXPECT_EQ(std::string(d.reason), row.reason) << row.name;
    EXPECT_EQ(d.refid, row.refid) << row.name;
    EXPECT_EQ(d.custom_reply, d.kind == kind::refused) << row.name;
    EXPECT_EQ(d.code == 71, d.why.words == refusal_unavailable.words) << row.name;
  }
}

// What applies to a message: the control files of its direction and, over
// them, each recipient's entry, one set of settings per entry found; for
// outbound mail the sender's entry alone.
TEST(Decide, PolicyFor) {
  scratch_dir d;
  policy_compiled pc;
  ASSERT_EQ(policy_compile("a.example:block_spam=1\n.b.example:check=0\nfrom:x.example:tag_only=1\n",
                           fd_owner(open("p", O_RDWR | O_CREAT, 0644)).get(), &pc),
            0);
  settings s{};
  s.in.zelmd_check = 1, s.out.zelmd_check = 2, s.zelmd_require_scan = 2;
  ASSERT_EQ(policy_open(&s.policy, "p"), 0);
  const client inbound = {"192.0.2.7", nullptr, nullptr}, relay = {"192.0.2.7", "", nullptr};
  const struct {
    client c;
    std::string items;
    std::string sets; // entry, check, block_spam, tag_only, require_scan of each
  } rows[] = {
      {inbound, "Fs@x.example\0Tu@a.example\0Tv@A.Example\0Tw@c.b.example\0Tz@other\0"s,
       "a.example 1 1 0 2|.b.example 0 0 0 2| 1 0 0 2|"},
      {relay, "Fs@x.example\0Tu@a.example\0"s, "from:x.example 2 0 1 2|"},
      {relay, "Fs@y.example\0Tu@a.example\0"s, " 2 0 0 2|"},
  };
  for (const auto &row : rows) {
    envelope e = {};
    failure f = {};
    stralloc_copyb(&e.items, row.items.data(), static_cast<uint32_t>(row.items.size()));
    policy p;
    ASSERT_EQ(envelope_addresses(&e, &f) || policy_for(s, row.c, e, 5, &p, &f), 0) << f.reason;
    std::string got;
    for (uint32_t i = 0; i < p.set_count; ++i) {
      const rule_set &r = p.sets[i];
      got += std::string(r.entry) + " " + std::to_string(r.check) + " " +
             std::to_string(r.block_spam) + " " + std::to_string(r.tag_only) + " " +
             std::to_string(r.require_scan) + "|";
    }
    EXPECT_EQ(got, row.sets) << row.items;
  }
  policy_close(&s.policy);
}

// Several recipients, one message: each recipient's settings judge it, and
// the strictest wins: a refusal (31 over 71) over a tag-only pass over a
// pass. Allowlisted and oversized settings ask nothing.
TEST(Decide, Recipients) {
  struct set {
    int check = 1, block_spam = 0, require_scan = 0, tag_only = 0, max_size = 0, quarantine = 0,
        custom_reply = 0;
  };
  const set allow{.check = 0}, plain{}, block{.block_spam = 1};
  const asked no = asked::no, answered = asked::answered, failed = asked::failed;
  const char *const spam = "refused by control/zelmd_onsession_in_block_spam";
  const struct {
    const char *name;
    std::vector<set> sets;
    asked how;
    bool usable;
    kind want;
    int code = 0;
    const char *reason = "";
    bool keep = false, tagged = false, custom = false;
  } rows[] = {
      {"all allowlisted", {allow, allow}, no, false, kind::untouched},
      {"one allowlisted, one blocks", {allow, block}, answered, true, kind::refused, 31, spam},
      {"one passes, one blocks", {plain, block}, answered, true, kind::refused, 31, spam},
      {"tag only", {{.block_spam = 1, .tag_only = 1}}, answered, true, kind::stamped, 0, "",
       false, true},
      {"tag only and a refusal", {{.block_spam = 1, .tag_only = 1}, block}, answered, true,
       kind::refused, 31, spam},
      {"tag only keeps require_scan", {{.require_scan = 1, .tag_only = 1}}, failed, false,
       kind::refused, 71, "down"},
      {"quarantined", {{.block_spam = 1, .quarantine = 1}}, answered, true, kind::refused, 31, spam,
       true},
      {"not for want of a daemon", {{.require_scan = 1, .quarantine = 1}}, failed, false,
       kind::refused, 71, "down"},
      {"31 over 71, its settings", {{.require_scan = 1}, {.block_spam = 1, .custom_reply = 1}},
       answered, false, kind::refused, 31, spam, false, false, true},
      {"71 first, then 31", {{.block_spam = 1, .custom_reply = 1}, {.require_scan = 1}}, answered,
       false, kind::refused, 31, spam, false, false, true},
      {"over its size", {{.max_size = 99}}, no, false, kind::unscanned, 0,
       "message of 100 bytes over control/zelmd_max_size 99"},
      {"over its size, scan required", {{.require_scan = 1, .max_size = 99}, allow}, no, false,
       kind::unscanned, 0, "message of 100 bytes over control/zelmd_max_size 99"},
      {"at its size", {{.block_spam = 1, .max_size = 100}}, answered, true, kind::refused, 31,
       spam},
      {"one over its size, one classified", {{.block_spam = 1, .max_size = 99}, plain}, answered,
       true, kind::stamped},
  };
  const ClassifyResult r = filled({{SPAM, "Confirmed"}}, -1);
  for (const auto &row : rows) {
    settings s{};
    policy p = policy_of(s, in);
    std::vector<rule_set> sets;
    for (const set &x : row.sets) {
      rule_set rs{};
      rs.check = x.check, rs.block_spam = x.block_spam, rs.require_scan = x.require_scan;
      rs.custom_reply = x.custom_reply, rs.tag_only = x.tag_only, rs.subject_tag = "[S]";
      rs.max_size = x.max_size, rs.quarantine = x.quarantine;
      sets.push_back(rs);
    }
    p.sets = sets.data();
    p.set_count = static_cast<uint32_t>(sets.size());
    EXPECT_EQ(policy_asks(p, p.size), row.how != no) << row.name;
    const plan d = decide(p, {row.how, "down"}, r, row.usable);
    EXPECT_EQ(d.kind, row.want) << row.name;
    EXPECT_EQ(d.code, row.code) << row.name;
    EXPECT_EQ(std::string(d.reason), row.reason) << row.name;
    EXPECT_EQ(d.keep, row.keep) << row.name;
    EXPECT_EQ(d.tagged, row.tagged) << row.name;
    EXPECT_EQ(d.custom_reply, row.custom) << row.name;
    EXPECT_EQ(d.subject_tag, row.tagged ? "[S]" : "") << row.name;
    EXPECT_STREQ(d.rule, row.tagged || row.code == 31 ? "control/zelmd_onsession_in_block_spam"
                                                       : "")
        << row.name;
  }
}

} // namespace
