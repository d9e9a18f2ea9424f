// Refusals and the report copy, decided on the answers of a real zelmd-sim
// that replies with whatever the test last wrote into its answer file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "classify_support.h"
#include "fd.h"
#include "syslog_catcher.h"
#include "zelmd_sim.h"

namespace fs = std::filesystem;

namespace {

const std::string small = std::string("Subject: x\n\nbo\0dy\n", 18);
const std::string absent = "\x01"; // as an answer value: the line is left out

// An outbound answer that no rule refuses and that asks for no copy.
field_list quiet_answer() {
  return {{"PVer", "0000001"},      {"Spam", "None"},
          {"VOD", "Clean"},         {"Flags", "0"},
          {"RefID", "r-1"},         {"SenderID", "127.0.0.1"},
          {"SenderID-Flags", "0"},  {"SenderID-TotalMessages", "0"},
          {"SenderID-TotalSpam", "0"}, {"SenderID-TotalSuspected", "0"},
          {"SenderID-TotalVirus", "0"}, {"SenderID-BlueWhiteFlag", "0"}};
}

// Changes by the name behind "X-ZELM-".
field_list merged(const field_list &changes) {
  field_list a = quiet_answer();
  for (const auto &[name, value] : changes) {
    const auto it =
        std::find_if(a.begin(), a.end(), [&](const auto &l) { return l.first == name; });
    EXPECT_NE(it, a.end()) << name;
    if (it != a.end()) it->second = value;
  }
  return a;
}

std::string answer_bytes(const field_list &changes) {
  std::string s;
  for (const auto &[name, value] : merged(changes))
    if (value != absent) s += "X-ZELM-" + name + ": " + value + "\r\n";
  return s;
}

// The lines an outbound message is stamped with for that answer.
std::vector<std::string> stamp_of(const field_list &changes) {
  const field_list a = merged(changes);
  const auto v = [&](size_t i) { return a[i].second; };
  auto s = verdict_stamp(v(0), v(1), v(2), v(4));
  for (auto &l : sender_stamp({v(5), v(6), v(11), v(7), v(8), v(9), v(10)})) s.push_back(l);
  return s;
}

field_list operator+(field_list a, const field_list &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

field_list block(const std::string &dir, const std::string &cls, const std::string &on = "1") {
  return {{"zelmd_onsession_" + dir + "_block_" + cls, on}};
}

field_list total(const std::string &kind, const std::string &num, const std::string &action) {
  const std::string f = "zelmd_onsession_out_tot" + kind;
  return {{f + "_num", num}, {f + "_action", action}};
}

field_list every_total(const std::string &num, const std::string &action) {
  return total("spam", num, action) + total("susp", num, action) + total("virus", num, action) +
         total("msgs", num, action);
}

field_list every_count(const std::string &n) {
  return {{"SenderID-TotalSpam", n}, {"SenderID-TotalSuspected", n},
          {"SenderID-TotalVirus", n}, {"SenderID-TotalMessages", n}};
}

struct verdict_case {
  std::string name;
  field_list controls{}; // control file and its line
  field_list answer{};   // changes to quiet_answer()
  int code;              // 0: handed to the queue program
  bool inbound = false;
  std::string message = small;
  std::string folder = "reports"; // the report folder, below the scratch root
  bool make_folder = true;
  // What a refusal logs as its reason; when empty, only that it logs one.
  std::string reason{};
};

struct report_file {
  std::string name;
  unsigned mode;
  std::string bytes;
};

struct outcome {
  std::optional<std::string> forwarded;
  std::vector<report_file> reports;
};

std::string slurp(const fs::path &p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

// Every end must match the case: its code, the queue program started only
// to forward, the working directory gone.
outcome run(const zelmd_sim &sim, const verdict_case &c) {
  SCOPED_TRACE(c.name);
  qmail_home h;
  point_at(h, sim.port());
  const fs::path folder = h.root / c.folder;
  if (c.make_folder) fs::create_directories(folder);
  h.control("zelmd_report_imap_folder", folder.string() + "\n");
  h.control(c.inbound ? "zelmd_check_inbound" : "zelmd_check_outbound", "1\n");
  for (const auto &[file, line] : c.controls) h.control(file, line + "\n");
  sim.answer(answer_bytes(c.answer));
  std::vector<std::string> env;
  if (!c.inbound) env.push_back("RELAYCLIENT=");
  const auto got =
      run_caught(h, {.message = c.message, .envelope = envelope({"Fa@x", "Tb@y"}), .env = env});
  const auto &r = got.run;
  EXPECT_EQ(r.code, c.code) << r;
  if (c.code != 0) {
    // A refusal always says why, last.
    EXPECT_TRUE(got.log_caught);
    EXPECT_FALSE(got.log.empty());
    std::string reason = c.reason;
    if (const size_t at = reason.find("<folder>"); at != std::string::npos)
      reason.replace(at, 8, folder.string());
    const auto last = parse_syslog(got.log.empty() ? "" : got.log.back());
    const std::string tail = " (exit " + std::to_string(c.code) + ")";
    EXPECT_TRUE(last && (reason.empty() ? last->text.ends_with(tail)
                                        : last->text == "IP: 127.0.0.1 - " + reason + tail))
        << (last ? last->text : "no line");
  }
  outcome o{h.record("message"), {}};
  EXPECT_EQ(o.forwarded.has_value(), c.code == 0);
  // A pass must come from the verdict, not from a daemon that was not reached.
  if (o.forwarded) {
    EXPECT_NE(o.forwarded->find("X-ZELM-RefID: r-1\n"), std::string::npos) << "not classified";
  }
  EXPECT_FALSE(fs::exists(r.workdir));
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(folder, ec)) {
    struct stat st {};
    stat(e.path().c_str(), &st);
    o.reports.push_back({e.path().filename(), st.st_mode & 07777u, slurp(e.path())});
  }
  // Each copy made says so, with its file, right after the classification
  // line; none is claimed that was not made.
  std::vector<std::string> copies;
  for (const auto &l : got.log)
    if (const auto line = parse_syslog(l); line && line->text.starts_with("COPY "))
      copies.push_back(line->text);
  std::vector<std::string> want;
  for (const auto &f : o.reports)
    want.push_back("COPY IP: 127.0.0.1, SenderID: 127.0.0.1, File: " + (folder / f.name).string());
  EXPECT_EQ(copies, want);
  if (!want.empty() && got.log.size() >= 2) {
    EXPECT_TRUE(parse_syslog(got.log[1]).value_or(syslog_line{}).text.starts_with("COPY "));
  }
  return o;
}

void expect_codes(const std::vector<verdict_case> &cases) {
  zelmd_sim sim;
  for (const auto &c : cases) {
    const auto o = run(sim, c);
    EXPECT_TRUE(o.reports.empty()) << c.name;
  }
}

TEST(Verdict, ClassRules) {
  NEED_ISOLATION();
  expect_codes({
      {"Confirmed", block("out", "spam"), {{"Spam", "Confirmed"}}, 31},
      {"Bulk", block("out", "bulk"), {{"Spam", "Bulk"}}, 31},
      {"Virus", block("out", "virus"), {{"VOD", "Virus"}}, 31},
      {"High", block("out", "vhigh"), {{"VOD", "High"}}, 31},
      {"switch 2", block("out", "spam", "2"), {{"Spam", "Confirmed"}}, 0},
      {"virus switch 2", block("out", "virus", "2"), {{"VOD", "Virus"}}, 0},
      {"lower case", block("out", "spam"), {{"Spam", "confirmed"}}, 0},
      {"longer name", block("out", "spam"), {{"Spam", "Confirmed2"}}, 0},
      {"spam switch, Bulk", block("out", "spam"), {{"Spam", "Bulk"}}, 0},
      {"bulk switch, Confirmed", block("out", "bulk"), {{"Spam", "Confirmed"}}, 0},
      {"vhigh switch, Virus", block("out", "vhigh"), {{"VOD", "Virus"}}, 0},
      {"virus switch, High", block("out", "virus"), {{"VOD", "High"}}, 0},
      {"class in the other field",
       block("out", "spam") + block("out", "virus"),
       {{"Spam", "Virus"}, {"VOD", "Confirmed"}},
       0},
      {.name = "one of several switches",
       .controls = block("out", "bulk") + block("out", "vhigh"),
       .answer = {{"VOD", "High"}},
       .code = 31,
       .reason = "refused by control/zelmd_onsession_out_block_vhigh"},
      {"inbound switch, outbound mail", block("in", "spam"), {{"Spam", "Confirmed"}}, 0},
      {.name = "inbound Confirmed",
       .controls = block("in", "spam"),
       .answer = {{"Spam", "Confirmed"}},
       .code = 31,
       .inbound = true,
       .reason = "refused by control/zelmd_onsession_in_block_spam"},
      {"inbound Bulk", block("in", "bulk"), {{"Spam", "Bulk"}}, 31, true},
      {"inbound Virus", block("in", "virus"), {{"VOD", "Virus"}}, 31, true},
      {"inbound High", block("in", "vhigh"), {{"VOD", "High"}}, 31, true},
      {"outbound switch, inbound mail", block("out", "virus"), {{"VOD", "Virus"}}, 0, true},
  });
}

TEST(Verdict, Thresholds) {
  NEED_ISOLATION();
  struct {
    const char *name;
    std::string num, action, count;
    int code;
  } rows[] = {
      {"equal, action 1", "5", "1", "5", 71},
      {"equal, action 2", "5", "2", "5", 31},
      {"above", "5", "2", "6", 31},
      {"below", "5", "1", "4", 0},
      {"action 0", "1", "0", "-1", 0},
      {"action 3", "1", "3", "-1", 0},
      {"threshold 0", "0", "1", "-1", 0},
      {"threshold 3000000000 is negative", "3000000000", "1", "-1", 0},
      {"threshold -3 reads as 0", "-3", "1", "-1", 0},
      {"-1 counts 4294967295", "2000000000", "1", "-1", 71},
      {"2^32 counts 0", "1", "1", "4294967296", 0},
      {"2^32 + 5 counts 5", "5", "2", "4294967301", 31},
      {"no digits", "1", "1", "abc", 0},
      {"digits then text", "5", "1", "7x", 71},
  };
  const std::pair<std::string, std::string> kinds[] = {{"spam", "SenderID-TotalSpam"},
                                                       {"susp", "SenderID-TotalSuspected"},
                                                       {"virus", "SenderID-TotalVirus"},
                                                       {"msgs", "SenderID-TotalMessages"}};
  std::vector<verdict_case> cases;
  for (const auto &[kind, field] : kinds)
    for (const auto &r : rows)
      cases.push_back(
          {.name = kind + ": " + r.name,
           .controls = total(kind, r.num, r.action),
           .answer = {{field, r.count}},
           .code = r.code,
           .reason = r.code ? "refused by control/zelmd_onsession_out_tot" + kind + "_num" : ""});
  expect_codes(cases);
}

TEST(Verdict, BlueWhiteGuards) {
  NEED_ISOLATION();
  struct {
    const char *name;
    field_list controls, answer;
    int code, highest; // highest flag that still lets the rule fire
  } rules[] = {
      {"class", block("out", "spam"), {{"Spam", "Confirmed"}}, 31, 1},
      {"spam total", total("spam", "1", "1"), {{"SenderID-TotalSpam", "1"}}, 71, 1},
      {"suspected total", total("susp", "1", "1"), {{"SenderID-TotalSuspected", "1"}}, 71, 0},
      {"virus total", total("virus", "1", "1"), {{"SenderID-TotalVirus", "1"}}, 71, 1},
      {"message total", total("msgs", "1", "1"), {{"SenderID-TotalMessages", "1"}}, 71, 0},
  };
  const std::pair<std::string, int> flags[] = {{absent, -1}, {"0", 0}, {"1", 1}, {"2", 2}};
  std::vector<verdict_case> cases;
  for (const auto &r : rules)
    for (const auto &[text, value] : flags)
      cases.push_back({r.name + std::string(", flag ") + std::to_string(value), r.controls,
                       r.answer + field_list{{"SenderID-BlueWhiteFlag", text}},
                       value <= r.highest ? r.code : 0});
  expect_codes(cases);
}

TEST(Verdict, FirstRuleDecides) {
  NEED_ISOLATION();
  const field_list nines = every_count("9");
  expect_codes({
      {"class rule before thresholds", block("out", "spam") + total("spam", "1", "1"),
       nines + field_list{{"Spam", "Confirmed"}}, 31},
      {"spam before suspected", total("spam", "1", "2") + total("susp", "1", "1"), nines, 31},
      {"spam before suspected, actions swapped", total("spam", "1", "1") + total("susp", "1", "2"),
       nines, 71},
      {"suspected before virus", total("susp", "1", "1") + total("virus", "1", "2"), nines, 71},
      {"virus before messages", total("virus", "1", "2") + total("msgs", "1", "1"), nines, 31},
      {"no action: the next decides", total("spam", "1", "0") + total("virus", "1", "1"), nines,
       71},
      {"not reached: the next decides", total("spam", "10", "2") + total("msgs", "1", "1"), nines,
       71},
      {"guard skips: the next decides", total("susp", "1", "2") + total("virus", "1", "1"),
       nines + field_list{{"SenderID-BlueWhiteFlag", "1"}}, 71},
      {"flag 2 passes everything", block("out", "spam") + every_total("1", "2"),
       nines + field_list{{"Spam", "Confirmed"}, {"SenderID-BlueWhiteFlag", "2"}}, 0},
  });
}

// The counts and the copy belong to outbound mail with a switch of exactly 1.
TEST(Verdict, SenderFeaturesOnlyForOutboundOne) {
  NEED_ISOLATION();
  const field_list flagged = every_count("-1") + field_list{{"SenderID-Flags", "2"}};
  expect_codes({
      {"inbound, every threshold",
       every_total("1", "1") + field_list{{"zelmd_check_outbound", "1"}}, flagged, 0, true},
      {"check_outbound 2, thresholds",
       every_total("1", "1") + field_list{{"zelmd_check_outbound", "2"}}, flagged, 0},
      {"check_outbound 2, class rule",
       block("out", "vhigh") + field_list{{"zelmd_check_outbound", "2"}},
       flagged + field_list{{"VOD", "High"}}, 31},
  });
}

TEST(Report, SenderFlags) {
  NEED_ISOLATION();
  zelmd_sim sim;
  for (const std::string &flags :
       std::vector<std::string>{"1", "1024", "1025", "", "abc", "0", absent})
    EXPECT_TRUE(run(sim, {"flags " + flags, {}, {{"SenderID-Flags", flags}}, 0}).reports.empty());
  for (const std::string flags : {"2", "512", "1023", "3", "-1"})
    EXPECT_EQ(run(sim, {"flags " + flags, {}, {{"SenderID-Flags", flags}}, 0}).reports.size(), 1u)
        << flags;
}

std::string spooled_message() {
  std::string m = "Subject: big\n\n";
  for (size_t i = 0; m.size() < 70000; ++i) m += i % 100 ? "line\n" : std::string("n\0l\n", 4);
  return m;
}

// Answer text, then the message as received: made before any end.
TEST(Report, Content) {
  NEED_ISOLATION();
  const std::string spooled = spooled_message();
  const field_list copy = {{"SenderID-Flags", "2"}};
  const verdict_case cases[] = {
      {.name = "in memory, forwarded", .answer = copy, .code = 0},
      {.name = "spooled, forwarded", .answer = copy, .code = 0, .message = spooled},
      {.name = "in memory, class rule refuses",
       .controls = block("out", "spam"),
       .answer = copy + field_list{{"Spam", "Confirmed"}},
       .code = 31},
      {.name = "spooled, class rule refuses",
       .controls = block("out", "bulk"),
       .answer = copy + field_list{{"Spam", "Bulk"}},
       .code = 31,
       .message = spooled},
      {.name = "spooled, threshold refuses with 71",
       .controls = total("msgs", "1", "1"),
       .answer = copy + field_list{{"SenderID-TotalMessages", "1"}},
       .code = 71,
       .message = spooled},
  };
  zelmd_sim sim;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto o = run(sim, c);
    ASSERT_EQ(o.reports.size(), 1u);
    const auto &f = o.reports[0];
    EXPECT_EQ(f.name.size(), 9u) << f.name;
    EXPECT_TRUE(f.name.starts_with("msg") && !f.name.ends_with("XXXXXX")) << f.name;
    EXPECT_EQ(f.mode, 0600u);
    EXPECT_TRUE(same_bytes(f.bytes, answer_bytes(c.answer) + c.message));
    // The copy must not disturb what is forwarded afterwards.
    if (c.code == 0) {
      const size_t head = c.message.find("\n\n") + 1;
      EXPECT_TRUE(same_bytes(o.forwarded, stamped(c.message, head, stamp_of(c.answer))));
    }
  }
}

// A copy that cannot be made refuses for now, whatever the verdict.
TEST(Report, FolderFailures) {
  NEED_ISOLATION();
  const size_t root = std::strlen(ZELMD_SCRATCH) + std::strlen("/home-XXXXXX");
  if (root + 1 >= 180) GTEST_SKIP() << "scratch path too long for a 180-character folder";
  const std::string fits(180 - root - 1, 'd'), too_long(181 - root - 1, 'd');
  const field_list copy = {{"SenderID-Flags", "2"}};
  const verdict_case cases[] = {
      {.name = "missing",
       .answer = copy,
       .code = 71,
       .make_folder = false,
       .reason = "cannot create report file <folder>/msgXXXXXX: No such file or directory"},
      {.name = "missing, spooled",
       .answer = copy,
       .code = 71,
       .message = spooled_message(),
       .make_folder = false},
      {.name = "missing, class rule refuses",
       .controls = block("out", "spam"),
       .answer = copy + field_list{{"Spam", "Confirmed"}},
       .code = 71,
       .make_folder = false},
      {.name = "missing, no copy asked for", .code = 0, .make_folder = false},
      {.name = "181 characters", .answer = copy, .code = 71, .folder = too_long},
      {.name = "180 characters", .answer = copy, .code = 0, .folder = fits},
  };
  zelmd_sim sim;
  for (const auto &c : cases)
    EXPECT_EQ(run(sim, c).reports.size(), c.code == 0 && !c.answer.empty() ? 1u : 0u) << c.name;
}

} // namespace

namespace {

// Refusals told to the sender: with control/zelmd_custom_reply 1 and a pipe
// on descriptor 6, qmail-smtpd's reply text there and exit 82; the plain
// code whenever the setting is off or descriptor 6 is no pipe.
TEST(Reply, ToldToTheSender) {
  NEED_ISOLATION();
  enum class six { pipe, closed, file };
  // A reference too long for the 255 bytes is cut; the status code stays.
  const std::string many = "Dmessage refused: the sender has sent too many messages, reference ";
  const std::string cut = many + std::string(255 - many.size() - 9, 'x') + " (#5.7.1)";
  struct {
    const char *name;
    field_list controls, answer;
    int code; // without the custom reply
    std::string text;
    bool down = false; // the daemon cannot be reached
  } rows[] = {
      {"spam", block("out", "spam"), {{"Spam", "Confirmed"}}, 31,
       "Dmessage refused as spam, reference r-1 (#5.7.1)"},
      {"bulk", block("out", "bulk"), {{"Spam", "Bulk"}}, 31,
       "Dmessage refused as bulk mail, reference r-1 (#5.7.1)"},
      {"virus", block("out", "virus"), {{"VOD", "Virus"}}, 31,
       "Dmessage refused: it carries a virus, reference r-1 (#5.7.1)"},
      {"high virus risk", block("out", "vhigh"), {{"VOD", "High"}, {"RefID", "r\xc3\xa9\x7f"}}, 31,
       "Dmessage refused: high virus risk, reference r??? (#5.7.1)"},
      {"sender threshold for now", total("spam", "1", "1"), {{"SenderID-TotalSpam", "1"}}, 71,
       "Zmessage not accepted now: the sender has sent too much spam, reference r-1 (#4.7.1)"},
      {"sender threshold for good", total("msgs", "1", "2"),
       {{"SenderID-TotalMessages", "1"}, {"RefID", std::string(300, 'x')}}, 31, cut},
      {"unusable answer", {{"zelmd_require_scan", "1"}}, {{"Flags", absent}}, 71,
       "Zmessage not accepted now: classification unavailable, try again later (#4.3.0)"},
      {"daemon down", {{"zelmd_require_scan", "1"}}, {}, 71,
       "Zmessage not accepted now: classification unavailable, try again later (#4.3.0)", true},
  };
  zelmd_sim sim;
  for (const auto &r : rows) {
    for (const bool on : {true, false}) {
      for (const six fd6 : {six::pipe, six::closed, six::file}) {
        if (!on && fd6 != six::pipe) continue;
        SCOPED_TRACE(testing::Message() << r.name << (on ? ", setting on" : ", setting off")
                                        << ", descriptor 6 " << static_cast<int>(fd6));
        qmail_home h;
        point_at(h, r.down ? loopback_daemon::unused_port() : sim.port());
        h.control("zelmd_check_outbound", "1\n");
        h.control("zelmd_custom_reply", on ? "1\n" : "0\n");
        for (const auto &[file, line] : r.controls) h.control(file, line + "\n");
        sim.answer(answer_bytes(r.answer));
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        fd_owner reader(p[0]), writer(p[1]);
        const fd_owner file(open((h.root / "six").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        const auto got = run_caught(
            h, {.message = small, .envelope = envelope({"Fa@x", "Tb@y"}), .env = {"RELAYCLIENT="},
                .fd6 = fd6 == six::pipe ? writer.get() : fd6 == six::file ? file.get() : -1});
        writer.reset();
        std::string said(512, '\0');
        said.resize(static_cast<size_t>(std::max<ssize_t>(0, read(reader.get(), said.data(), said.size()))));
        const bool told = on && fd6 == six::pipe;
        EXPECT_EQ(got.run.code, told ? 82 : r.code) << got.run;
        EXPECT_EQ(said, told ? r.text : "");
        EXPECT_FALSE(h.record("message")) << "queued";
        ASSERT_FALSE(got.log.empty());
        const auto last = parse_syslog(got.log.back());
        ASSERT_TRUE(last);
        const std::string tail = told ? "; replied \"" + r.text + "\" (exit 82)"
                                      : " (exit " + std::to_string(r.code) + ")";
        EXPECT_TRUE(last->text.ends_with(tail)) << last->text;
      }
    }
  }
}

} // namespace
