// qmail-zelmd-stat on a log the filter wrote itself: one run for each line
// form, side by side, and the custom-reply lines the filter cannot write
// yet. The same lines as a syslog file among other programs' lines and, on
// standard input, as a multilog file must give the counts the runs make.
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>

#include "classify_support.h"
#include "syslog_catcher.h"

namespace fs = std::filesystem;

namespace {

struct corpus_run {
  bool outbound;
  std::optional<daemon_script> daemon; // none: nothing listens
  std::string controls;                // "file=line ..."
  int code = 0;
};

daemon_script answering(field_list a, const field_list &changes = {}) {
  for (const auto &[name, value] : changes)
    for (auto &line : a)
      if (line.first == "X-ZELM-" + name) line.second = value;
  return {.response = http_response(answer_text(a))};
}

// Exit code and standard output.
std::pair<int, std::string> summarize(const std::string &args, const std::string &env = "") {
  std::string out;
  FILE *f = popen((env + ZELMD_STAT + " " + args).c_str(), "r");
  char buf[4096];
  for (size_t n; f && (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  const int st = f ? pclose(f) : -1;
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(Stat, CountsTheFiltersOwnLog) {
  NEED_ISOLATION();
  const std::string in = "zelmd_check_inbound=1 ", relay = "zelmd_check_outbound=1 ";
  const std::string required = in + "zelmd_require_scan=1 ";
  const corpus_run runs[] = {
      // client 192.0.2.<index + 1>
      {false, answering(inbound_answer()), in},
      {false, answering(inbound_answer(), {{"Spam", "Confirmed"}}),
       in + "zelmd_onsession_in_block_spam=1", 31},
      {true, answering(outbound_answer(), {{"SenderID-Flags", "2"}}), relay}, // a report copy
      {true, answering(outbound_answer()),
       relay + "zelmd_onsession_out_totmsgs_num=100 zelmd_onsession_out_totmsgs_action=1", 71},
      {false, std::nullopt, in},
      {false, std::nullopt, required, 71},
      {false, daemon_script{.response = http_response("hello\r\n")}, required, 71},
      {false, daemon_script{.response = http_response("busy", framing::length, "503 Busy")}, in},
      {false, daemon_script{.how = daemon_script::hang}, required + "zelmd_timeout=1", 71},
      {false, std::nullopt, "zelmd_queue_binary=/nonexistent/qmail-queue", 120},
  };
  std::deque<qmail_home> homes;
  std::deque<loopback_daemon> daemons;
  std::vector<const qmail_home *> at;
  std::vector<filter_run> filter_runs;
  for (const auto &r : runs) {
    const qmail_home &h = *at.emplace_back(&homes.emplace_back());
    point_at(h, r.daemon ? daemons.emplace_back(*r.daemon).port() : loopback_daemon::unused_port());
    fs::create_directory(h.root / "reports");
    h.control("zelmd_report_imap_folder", (h.root / "reports").string() + "\n");
    std::istringstream controls(r.controls);
    for (std::string c; controls >> c;)
      h.control(c.substr(0, c.find('=')), c.substr(c.find('=') + 1) + "\n");
    std::vector<std::string> env = {"TCPREMOTEIP=192.0.2." + std::to_string(at.size())};
    if (r.outbound) env.push_back("RELAYCLIENT=");
    filter_runs.push_back(
        {.message = "Subject: x\n\nbody\n", .envelope = envelope({"Fa@x", "Tb@y"}), .env = env});
  }
  const auto got = run_caught(at, filter_runs);
  for (size_t r = 0; r < got.size(); ++r) ASSERT_EQ(got[r].run.code, runs[r].code) << got[r].run;

  // The runs' lines in turns, as the lines of one message stand apart in a
  // busy log; then the replies, whose pids no run can have.
  std::vector<syslog_line> lines;
  for (size_t i = 0, more = 1; more; ++i) {
    more = 0;
    for (const auto &c : got)
      if (i < c.log.size()) {
        lines.push_back(parse_syslog(c.log[i]).value_or(syslog_line{}));
        more = 1;
      }
  }
  const std::string stamp = lines.back().stamp, cls = "From: a@x, sClass: Confirmed, vClass: ";
  const std::string counts = ", Flags: 0, TMsg: 1, TSpam: 9, TSus: 0, TVirus: 0, BWFlag: 0";
  for (const auto &[pid, text] : std::vector<std::pair<pid_t, std::string>>{
           {1, "OUT IP: 192.0.2.50, " + cls + "Clean, RefID: r-1, SenderID: ann" + counts},
           {2, "OUT IP: 192.0.2.51, " + cls + "Virus, RefID: r-2, SenderID: N/A"},
           {3, "OUT IP: 192.0.2.50, " + cls + "Clean, RefID: r-3, SenderID: ann" + counts},
           {1, "IP: 192.0.2.50 - refused by control/zelmd_onsession_out_totspam_num; replied "
               "\"Znot now: too much spam, reference r-1 (#4.7.1)\" (exit 82)"},
           {2, "IP: 192.0.2.51 - refused by control/zelmd_onsession_out_block_spam; replied "
               "\"Drefused as spam (exit 31) (#5.7.1)\" (exit 82)"},
           {3, "IP: 192.0.2.50 - refused by control/zelmd_onsession_out_block_spam; replied "
               "\"D\" (exit 82)"}})
    lines.push_back({.stamp = stamp, .ident = "qmail-zelmd", .pid = pid, .text = text});

  const fs::path syslog_file = homes[0].root / "mail.log",
                 multilog_file = homes[0].root / "current";
  {
    std::ofstream s(syslog_file), m(multilog_file);
    // Other programs' lines, some like the filter's or holding its tag.
    const std::string refusal = "]: IP: 192.0.2.2 - refused by control/"
                                "zelmd_onsession_in_block_spam (exit 31)\n";
    s << "Dec  1 00:00:00 mx qmail-smtpd[7]: IN  IP: 192.0.2.9, From: x, sClass: a, vClass: b\n"
      << "Dec  1 00:00:00 mx qmail-zelmd[4x" << refusal
      << "Dec  1 00:00:00 mx sshd[5]: Invalid user qmail-zelmd[2" << refusal;
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string tagged =
          "qmail-zelmd[" + std::to_string(lines[i].pid) + "]: " + lines[i].text;
      s << lines[i].stamp << " mx " << tagged << "\n";
      m << "@40000000675612" << std::hex << 16 + i << "00000000 mail.info: " << tagged << "\n";
    }
  }
  const auto [code, out] =
      summarize(syslog_file.string() + " " + (homes[0].root / "none").string() + " 2>/dev/null");
  const auto [piped_code, piped] = summarize("< " + multilog_file.string(), "TZ=UTC0 ");
  EXPECT_EQ(code, 1) << "an input could not be read";
  EXPECT_EQ(piped_code, 0);
  const std::string first = "qmail-zelmd: " + std::to_string(lines.size()) + " lines from 1 input";
  EXPECT_TRUE(out.starts_with(first + ", " + lines[0].stamp + " to " + stamp + "\n")) << out;
  EXPECT_TRUE(piped.starts_with(first + ", 2024-12-08 21:39:18 to 2024-12-08 21:39:")) << piped;
  EXPECT_NE(summarize("--prometheus " + multilog_file.string())
                .second.find("\nqmail_zelmd_classified_total{direction=\"outbound\"} 5\n"),
            std::string::npos);
  EXPECT_EQ(out.substr(out.find('\n')), piped.substr(piped.find('\n')));
  for (const char *want :
       {"  messages                           2                 5",
        "  spam class Confirmed               1  50.0%          3  60.0%",
        "  virus class Virus                  0                 1  20.0%",
        "  zelmd_onsession_in_block_spam             1          0     50.0%         0",
        "  zelmd_onsession_out_block_spam            2          0     40.0%         0",
        "  zelmd_onsession_out_totspam_num           0          1     20.0%         0",
        "not classified (share of 12 messages seen)",
        "  daemon unreachable                 1   8.3%              1   8.3%",
        "  time-out                           0                     1   8.3%",
        "  error status                       1   8.3%              0",
        "  unusable answer                    0                     1   8.3%",
        "report copies 1 (20.0% of outbound messages)",
        "  exit 120       1  queue program /nonexistent/qmail-queue could not be started",
        "most refused: client addresses (share of 1 inbound refusal)\n       1 100.0%  192.0.2.2",
        "       2  50.0%  ann\n       1  25.0%  192.0.2.51\n       1  25.0%  joe"})
    EXPECT_NE(("\n" + out).find("\n" + std::string(want) + "\n"), std::string::npos)
        << want << "\nin:\n"
        << out;
}

} // namespace
