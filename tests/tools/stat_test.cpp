// qmail-zelmd-stat's rules as functions: which lines are the filter's, and
// what each adds to the summary and to the node_exporter counts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "stat.h"

namespace {

const std::string tag = "Dec  8 11:04:12 mx qmail-zelmd[1]: ";

TEST(StatUnit, TagCountsOnlyWhereTheProgramTagStands) {
  setenv("TZ", "UTC0", 1);
  tzset();
  const struct {
    const char *line;
    unsigned long pid; // 0: not the filter's line
    const char *stamp;
  } rows[] = {
      {"Dec  8 11:04:12 mx qmail-zelmd[12]: t", 12, "Dec  8 11:04:12"},
      {"Dec 08 11:04:12.5 mx qmail-zelmd[12]: t", 12, "Dec  8 11:04:12"},
      {"2024-12-08T11:04:12.5+01:00 mx qmail-zelmd[12]: t", 12, "2024-12-08T11:04:12"},
      {"<22>Dec  8 11:04:12 qmail-zelmd[12]: t", 12, "Dec  8 11:04:12"},
      {"@4000000067557d3600000000 mail.info: qmail-zelmd[12]: t", 12, "2024-12-08 11:04:12"},
      {"@4000000067557d3600000000 mail.info: Dec  8 09:00:00 qmail-zelmd[12]: t", 12,
       "2024-12-08 11:04:12"},
      {"2024-12-08 11:04:12.123456789 qmail-zelmd[12]: t", 12, "2024-12-08 11:04:12"},
      {"mail.info: qmail-zelmd[12]: t", 12, ""},
      {"Dec  8 11:04:12 mx sshd[5]: Invalid user qmail-zelmd[2]: t", 0, ""},
      {"Dec  8 11:04:12 mx user.info: qmail-zelmd[2]: t", 0, ""},
      {"<13>Dec  8 11:04:12 user.info: qmail-zelmd[2]: t", 0, ""},
      {"@4000000067557d3600000000 user.notice: root: qmail-zelmd[2]: t", 0, ""},
      {"Dec  8 11:04:12 mx qmail-zelmd[]: t", 0, ""},
  };
  for (const auto &r : rows) {
    stat_tagged l;
    const std::string got = stat_tag(r.line, l) ? std::to_string(l.pid) + "|" + l.stamp : "0|";
    EXPECT_EQ(got + "|" + std::string(l.text),
              std::to_string(r.pid) + "|" + r.stamp + "|" + (r.pid ? "t" : ""))
        << r.line;
  }
}

std::string printed(const stat_tally &t) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  stat_summary(t, f);
  stat_prometheus(t, f);
  std::fclose(f);
  std::string s = "\n" + std::string(buf, size);
  std::free(buf);
  return s;
}

TEST(StatUnit, LinesAddUpToTheseLines) {
  const std::string in = tag + "IN  IP: 192.0.2.1, From: a, sClass: ",
                    over = " bytes over control/";
  const std::string spam = tag + "IP: 192.0.2.1 - refused by control/zelmd_onsession_in_block_spam";
  const struct {
    std::vector<std::string> lines;
    std::vector<const char *> want; // whole lines of the summary or the counts
  } rows[] = {
      {{tag + "IP: 1 - would be refused by control/zelmd_policy example.org block_spam (tag only)",
        tag + "IP: 1 - would be refused by control/zelmd_onsession_in_x (tag only)"},
       {"  zelmd_policy block_spam                   0          0                   1",
        "qmail_zelmd_policy_tag_only_total{entry=\"example.org\"} 1",
        "qmail_zelmd_tag_only_total{direction=\"inbound\",rule=\"zelmd_onsession_in_x\"} 1"}},
      {{tag + "IP: 1 - message of 9" + over + "zelmd_max_size 5 (passed unscanned)",
        tag + "IP: 1 - message of 9" + over + "zelmd_policy x.org max_size 5 (passed unscanned)"},
       {"  over the size limit                2 100.0%", "qmail_zelmd_over_size_total 2",
        "qmail_zelmd_unclassified_total{cause=\"other\",outcome=\"passed\"} 0"}},
      {{tag + "QUARANTINE IP: 1, File: /q/msg1"}, {"quarantined 1"}},
      {{tag + "IP: 1 - refused by control/zelmd_policy from:.example.org block_spam (exit 31)",
        tag + "IP: 1 - refused by control/zelmd_policy example.org x; replied \"Z\" (exit 82)"},
       {"  from:.example.org                         1          0         0",
        "qmail_zelmd_policy_refused_total{entry=\"example.org\",kind=\"temporary\"} 1"}},
      {{in + "x, vClass: y, RefID: r", spam + " (exit 31)", spam + " (exit 31)"},
       {"  zelmd_onsession_in_block_spam             2          0    100.0%         0"}},
      {{in + "a\"b\\c\x1b[2J\x9b[1m, vClass: y, RefID: r", tag + "IP: 1 - \x1b]0;x\x07 (exit 99)"},
       {"  spam class a\"b\\c?[2J?[1m           1 100.0%          0", "  exit 99        1  ?]0;x?",
        "qmail_zelmd_spam_class_total{direction=\"inbound\",class=\"a\\\"b\\\\c?[2J?[1m\"} 1"}},
  };
  for (const auto &r : rows) {
    stat_tally t;
    for (const std::string &line : r.lines) stat_line(t, line);
    const std::string out = printed(t);
    for (const char *want : r.want)
      EXPECT_NE(out.find("\n" + std::string(want) + "\n"), std::string::npos) << want << out;
  }
}

TEST(StatUnit, HostileLogTakesBoundedMemory) {
  stat_tally t;
  for (size_t i = 0; i < stat_names_kept + 5; ++i)
    stat_line(t, tag + "IP: " + std::string(i ? 0 : 1000, 'x') + std::to_string(i) +
                     " - refused by control/zelmd_onsession_in_block_spam (exit 31)");
  EXPECT_EQ(t.refused_by[inbound].size(), stat_names_kept + 1);
  EXPECT_EQ(t.refused_by[inbound].find("(others)")->second, 5u);
  EXPECT_LE(t.refused_by[inbound].rbegin()->first.size(), stat_name_max);
  // A line too long to be the filter's is skipped whole, its tail too.
  std::string log = std::string(stat_line_max, 'x') + tag + "QUARANTINE IP: 1, File: f\n" + tag +
                    "QUARANTINE IP: 2, File: f";
  FILE *f = fmemopen(log.data(), log.size(), "r");
  EXPECT_EQ(stat_read(t, f), 0);
  std::fclose(f);
  EXPECT_EQ(t.quarantined, 1u);
}

} // namespace
