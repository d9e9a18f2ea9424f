// Verdict lines that arrive with the message are removed from its header
// before the filter stamps its own, so that nothing downstream can read a
// forged verdict first.
#include <fstream>
#include <iterator>

#include "classify_support.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

struct forged_case {
  const char *name;
  std::string header; // up to and including the last header line's LF
  std::string kept;   // what must remain of it
  std::string rest;   // the empty line and the body; none: all of it is header
};

const std::string body = "\nbody X-ZELM-Spam: Confirmed\nX-ZELM-Spam: in the body stays\n";

// "Received: rrr...\n" of n bytes: a header line that moves what follows.
std::string received(size_t n) { return "Received: " + std::string(n - 11, 'r') + "\n"; }

const forged_case cases[] = {
    {"one forged line", "Subject: a\nX-ZELM-Spam: None\nTo: b\n", "Subject: a\nTo: b\n", body},
    {"any letter case", "x-zelm-spam: None\nX-Zelm-RefID: 1\nSubject: a\n", "Subject: a\n", body},
    {"continuation lines go with their field",
     "X-ZELM-VOD: Clean\n  folded\n\tmore\nSubject: a\n  kept fold\n", "Subject: a\n  kept fold\n",
     body},
    {"first and last lines", "X-ZELM-Pver: 1\nSubject: a\nX-ZELM-SenderID: me\n", "Subject: a\n",
     body},
    {"CR LF lines", "X-ZELM-Spam: None\r\nSubject: a\r\n", "Subject: a\r\n", body},
    {"CR LF empty line", "X-ZELM-Spam: None\r\nSubject: a\r\n", "Subject: a\r\n",
     "\r\nbody\r\nX-ZELM-Spam: in the body stays\r\n"},
    {"only forged lines", "X-ZELM-Spam: None\nX-ZELM-VOD: Clean\n", "", body},
    {"similar names stay", "X-ZELMD-Spam: x\nX-ZELM: y\nXX-ZELM-Spam: z\nX-Spam: w\n",
     "X-ZELMD-Spam: x\nX-ZELM: y\nXX-ZELM-Spam: z\nX-Spam: w\n", body},
    {"a header that begins with a fold", " fold\nX-ZELM-Spam: x\n", " fold\n", body},
    {"NUL bytes in the header", "Subj\0ct: a\nX-ZELM-Spam: \0\n\0To: b\n"s,
     "Subj\0ct: a\n\0To: b\n"s, body},
    {"no empty line", "Subject: a\nX-ZELM-Spam: x\n fold\nTo: b\nX-ZELM-VOD: y",
     "Subject: a\nTo: b\n", ""},
    {"no empty line, ends inside a name like ours", "Subject: a\nX-ZEL", "Subject: a\nX-ZEL", ""},
    // Long headers, in memory near its limit and spooled, with names of
    // ours and names like ours across the points where reads end.
    {"header near the in-memory limit", received(31800) + "X-ZELM-Spam: x\n", received(31800),
     body},
    {"forged field past 32000", received(40000) + "X-ZELM-Spam: x\nSubject: a\n",
     received(40000) + "Subject: a\n", body},
    {"forged name across 32000", received(31997) + "X-ZELM-Spam: x\nSubject: a\n",
     received(31997) + "Subject: a\n", body},
    {"similar name across 32000", received(31997) + "X-ZELMD-Spam: x\n",
     received(31997) + "X-ZELMD-Spam: x\n", body},
    {"fold of a forged field at 32000", received(31986) + "X-ZELM-VOD: x\n fold\nTo: b\n",
     received(31986) + "To: b\n", body},
    {"forged field past 32000, no empty line", received(40000) + "X-ZELM-Spam: x\nTo: b",
     received(40000) + "To: b", ""},
    // A CR that no LF follows ends a line for some readers: a field of ours
    // behind it goes with that CR, one behind a LF with its own line end.
    {"bare CR before a forged field", "Subject: s\rX-ZELM-Spam: Clean\nTo: b\n",
     "Subject: s\nTo: b\n", body},
    {"forged field ended by a bare CR", "X-ZELM-Spam: Clean\rSubject: s\n", "Subject: s\n", body},
    {"bare CRs around folds", "Subject: s\rX-ZELM-VOD: x\r fold\n\tmore\rTo: b\n",
     "Subject: s\rTo: b\n", body},
    {"forged fields in a row behind bare CRs", "A: 1\rX-ZELM-Spam: a\rx-zelm-vod: b\r\nB: 2\n",
     "A: 1\r\nB: 2\n", body},
    {"bare CR then a forged field behind a LF", "X-ZELM-A: 1\rX-ZELM-B: 2\nTo: b\n", "To: b\n",
     body},
    {"bare CR before names like ours or a fold", "S: s\rX-ZELMD: y\r X-ZELM-Spam: z\rTo: b\n",
     "S: s\rX-ZELMD: y\r X-ZELM-Spam: z\rTo: b\n", body},
    {"bare CR at the end, no empty line", "Subject: a\rX-ZELM-Spam: x\r", "Subject: a\r", ""},
    {"bare CR before a forged field at 32000",
     received(32000).substr(0, 31999) + "\rX-ZELM-Spam: x\nSubject: a\n",
     received(32000).substr(0, 31999) + "\nSubject: a\n", body},
    {"CR LF split at 32000", received(32000).substr(0, 31999) + "\r\nX-ZELM-Spam: x\r\nTo: b\n",
     received(32000).substr(0, 31999) + "\r\nTo: b\n", body},
};

// Stamped after a verdict, or passed unscanned because the daemon could not
// be consulted: either way without the fields the message came with.
TEST(Forged, RemovedFromTheHeader) {
  for (const bool answered : {true, false}) {
    for (const bool spool : {false, true}) {
      for (const forged_case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (spool ? ", spooled" : ", in memory") +
                     (answered ? ", stamped" : ", unscanned"));
        // Filler in the body, or a longer header for one that has no end.
        const std::string fill = !spool           ? ""
                                 : c.rest.empty() ? received(40000)
                                                  : std::string(40000, 'b');
        const std::string message = c.rest.empty() ? fill + c.header : c.header + c.rest + fill;
        const std::string kept = c.rest.empty() ? fill + c.kept : c.kept + c.rest + fill;
        const size_t at = c.rest.empty() ? 0 : c.kept.size();
        qmail_home h;
        loopback_daemon d(
            answered ? daemon_script{.response = http_response(answer_text(inbound_answer()))}
                     : daemon_script{.how = daemon_script::close_at_once});
        point_at(h, d.port());
        h.control("zelmd_check_inbound", "1\n");
        const caught r = run_caught(h, d, {.message = message, .envelope = envelope({"Fa", "Tb"})});
        ASSERT_EQ(r.run.code, 0) << r.run;
        EXPECT_TRUE(
            same_bytes(h.record("message"), answered ? stamped(kept, at, inbound_stamp()) : kept));
        EXPECT_FALSE(fs::exists(r.run.workdir));
      }
    }
  }
}

TEST(Forged, UnclassifiedMessagesPassUnchanged) {
  // Classification off: the message is not ours to change.
  for (const bool spool : {false, true}) {
    const std::string msg =
        "X-ZELM-Spam: None\nSubject: a\n" + body + (spool ? std::string(40000, 'b') : "");
    qmail_home h;
    h.control("zelmd_check_inbound", "0\n");
    const filter_result r = run_filter(h, {.message = msg, .envelope = envelope({"Fa", "Tb"})});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(same_bytes(h.record("message"), msg));
  }
}

TEST(Forged, ReportCopyKeepsTheMessageAsReceived) {
  const std::string msg = "X-ZELM-Spam: None\nSubject: a\n" + body;
  qmail_home h;
  field_list answer = outbound_answer();
  for (auto &[name, value] : answer)
    if (name == "X-ZELM-SenderID-Flags") value = "2";
  loopback_daemon d({.response = http_response(answer_text(answer))});
  point_at(h, d.port());
  h.control("zelmd_check_outbound", "1\n");
  const fs::path reports = h.root / "reports";
  fs::create_directory(reports);
  h.control("zelmd_report_imap_folder", reports.string() + "\n");
  const caught r = run_caught(h, d, {.message = msg, .envelope = envelope({"Fa", "Tb"}),
                                     .env = {"RELAYCLIENT="}});
  ASSERT_EQ(r.run.code, 0) << r.run;
  ASSERT_EQ(std::distance(fs::directory_iterator(reports), fs::directory_iterator()), 1);
  std::ifstream f(fs::directory_iterator(reports)->path(), std::ios::binary);
  const std::string copy((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(copy, answer_text(answer) + msg);
  const auto queued = h.record("message");
  ASSERT_TRUE(queued);
  EXPECT_EQ(queued->find("X-ZELM-Spam: None\nSubject"), std::string::npos);
}

} // namespace
