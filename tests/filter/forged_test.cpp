// Verdict lines that arrive with the message are removed from its header
// before the filter stamps its own, so that nothing downstream can read a
// forged verdict first.
#include <fstream>
#include <iterator>

#include "classify_support.h"

namespace fs = std::filesystem;

namespace {

struct forged_case {
  const char *name;
  std::string header; // up to and including the last header line's LF
  std::string kept;   // what must remain of it
};

const std::string body = "\nbody X-ZELM-Spam: Confirmed\nX-ZELM-Spam: in the body stays\n";

const forged_case cases[] = {
    {"one forged line", "Subject: a\nX-ZELM-Spam: None\nTo: b\n", "Subject: a\nTo: b\n"},
    {"any letter case", "x-zelm-spam: None\nX-Zelm-RefID: 1\nSubject: a\n", "Subject: a\n"},
    {"continuation lines go with their field",
     "X-ZELM-VOD: Clean\n  folded\n\tmore\nSubject: a\n  kept fold\n",
     "Subject: a\n  kept fold\n"},
    {"first and last lines", "X-ZELM-Pver: 1\nSubject: a\nX-ZELM-SenderID: me\n", "Subject: a\n"},
    {"CR LF lines", "X-ZELM-Spam: None\r\nSubject: a\r\n", "Subject: a\r\n"},
    {"only forged lines", "X-ZELM-Spam: None\nX-ZELM-VOD: Clean\n", ""},
    {"similar names stay", "X-ZELMD-Spam: x\nX-ZELM: y\nXX-ZELM-Spam: z\nX-Spam: w\n",
     "X-ZELMD-Spam: x\nX-ZELM: y\nXX-ZELM-Spam: z\nX-Spam: w\n"},
    {"a header that begins with a fold", " fold\nX-ZELM-Spam: x\n", " fold\n"},
};

TEST(Forged, RemovedFromTheHeaderBeforeStamping) {
  for (const bool spool : {false, true}) {
    for (const forged_case &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (spool ? ", spooled" : ", in memory"));
      const std::string tail = spool ? body + std::string(40000, 'b') : body;
      qmail_home h;
      loopback_daemon d({.response = http_response(answer_text(inbound_answer()))});
      point_at(h, d.port());
      h.control("zelmd_check_inbound", "1\n");
      const caught r = run_caught(h, d, {.message = c.header + tail, .envelope = envelope({"Fa", "Tb"})});
      ASSERT_EQ(r.run.code, 0) << r.run;
      EXPECT_TRUE(same_bytes(h.record("message"), stamped(c.kept + tail, c.kept.size(), inbound_stamp())));
      EXPECT_FALSE(fs::exists(r.run.workdir));
    }
  }
}

TEST(Forged, UnstampedMessagesPassUnchanged) {
  // Classification off, or a request that failed: nothing is stamped, so
  // nothing is removed either.
  const std::string msg = "X-ZELM-Spam: None\nSubject: a\n" + body;
  for (const bool classify : {false, true}) {
    qmail_home h;
    loopback_daemon d({.how = daemon_script::close_at_once});
    point_at(h, d.port());
    h.control("zelmd_check_inbound", classify ? "1\n" : "0\n");
    const caught r = run_caught(h, d, {.message = msg, .envelope = envelope({"Fa", "Tb"})});
    ASSERT_EQ(r.run.code, 0) << r.run;
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
