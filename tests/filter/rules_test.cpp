// Rules per recipient and sender through the real filter: the compiled
// policy, each recipient's settings, the strictest winning, tag-only,
// the size limit, the quarantine and the release from it.
#include <unistd.h>

#include <cstdio>

#include "classify_support.h"

namespace fs = std::filesystem;

namespace {

const field_list spam = {{"X-ZELM-PVer", "0000001"}, {"X-ZELM-Spam", "Confirmed"},
                         {"X-ZELM-VOD", "Clean"},    {"X-ZELM-Flags", "0"},
                         {"X-ZELM-RefID", "r-7"}};
const std::vector<std::string> verdict = verdict_stamp("0000001", "Confirmed", "Clean", "r-7");
const std::string in_line = "IN  IP: 127.0.0.1, From: a@x, sClass: Confirmed, vClass: Clean, "
                            "RefID: r-7";

// A header of 32000 bytes less a few, so that the Subject: field that
// follows it straddles the first 32000 bytes a spooled message is read in.
std::string spooled_subject(std::string *header) {
  *header = "A: " + std::string(31990, 'a') + "\n";
  return *header + "Subject: hi\n\n" + std::string(20000, 'b') + "\n";
}

TEST(Rules, PerRecipientAndSender) {
  std::string big_head;
  const std::string big = spooled_subject(&big_head);
  const std::string small = "Subject: hi\n\nbody\n";
  const std::string tagged_small =
      stamped("Subject: [SPAM?] hi\n\nbody\n", 20, verdict);
  const std::string tagged_big =
      stamped(big_head + "Subject: [SPAM?] hi\n\n" + std::string(20000, 'b') + "\n",
              big_head.size() + 20, verdict);
  const std::string trial = "trial.example:block_spam=1,tag_only=1,subject_tag=\"[SPAM?]\"\n";
  struct {
    const char *name;
    field_list controls;
    std::string policy; // empty: none
    std::vector<std::string> env, to;
    std::string message;
    int code;
    size_t requests;
    std::vector<std::string> log;
    std::string queued = ""; // what the queue program gets; empty: the message as it came
  } rows[] = {
      {"allowlisted: no request", {{"zelmd_check_inbound", "1"}}, "Example.ORG:check=0\n", {},
       {"postmaster@example.org"}, small, 0, 0, {}},
      {"the strictest recipient wins",
       {{"zelmd_check_inbound", "1"}},
       "strict.example:block_spam=1\n", {},
       {"a@lax.example", "b@strict.example"}, small, 31, 1,
       {in_line,
        "IP: 127.0.0.1 - refused by control/zelmd_policy strict.example block_spam (exit 31)"}},
      {"an entry turns classification on", {}, "on.example:check=1,block_spam=1\n", {},
       {"a@mail.on.example", "b@on.example"}, small, 31, 1,
       {in_line, "IP: 127.0.0.1 - refused by control/zelmd_policy on.example block_spam (exit 31)"}},
      {"tag only, in memory", {{"zelmd_check_inbound", "1"}}, trial, {}, {"a@trial.example"},
       small, 0, 1,
       {in_line, "IP: 127.0.0.1 - would be refused by control/zelmd_policy trial.example "
                 "block_spam (tag only)"},
       tagged_small},
      {"tag only, spooled, the subject split", {{"zelmd_check_inbound", "1"}}, trial, {},
       {"a@trial.example"}, big, 0, 1,
       {in_line, "IP: 127.0.0.1 - would be refused by control/zelmd_policy trial.example "
                 "block_spam (tag only)"},
       tagged_big},
      {"over the size limit, also with a scan required",
       {{"zelmd_check_inbound", "1"}, {"zelmd_require_scan", "1"}, {"zelmd_max_size", "10"}}, "",
       {}, {"b@y"}, small, 0, 0,
       {"IP: 127.0.0.1 - message of 18 bytes over control/zelmd_max_size 10 (passed unscanned)"}},
      {"the sender's entry, outbound", {{"zelmd_check_outbound", "1"}},
       "from:x:check=0\nb@y:block_spam=1\n", {"RELAYCLIENT="}, {"b@y"}, small, 0, 0, {}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    qmail_home h;
    loopback_daemon d({.response = http_response(answer_text(spam))});
    point_at(h, d.port());
    for (const auto &[file, value] : r.controls) h.control(file, value + "\n");
    ASSERT_EQ(r.policy.empty() ? "" : h.policy(r.policy), "");
    std::vector<std::string> items = {"Fa@x"};
    for (const auto &to : r.to) items.push_back("T" + to);
    const auto got = run_caught(h, d, {.message = r.message, .envelope = envelope(items), .env = r.env});
    EXPECT_EQ(got.run.code, r.code) << got.run;
    EXPECT_EQ(got.requests.size(), r.requests);
    EXPECT_LOGGED(got, r.log);
    EXPECT_TRUE(r.code || same_bytes(h.record("message"), r.queued.empty() ? r.message : r.queued));
  }
}

// A compiled policy that cannot be read is never passed around: 71.
TEST(Rules, CorruptPolicyRefusesForNow) {
  qmail_home h;
  h.control("zelmd_policy.cdb", std::string(4096, 'x'));
  const auto got = run_caught(h, {.message = "S: x\n\nb\n", .envelope = envelope({"Fa", "Tb"})});
  EXPECT_EQ(got.run.code, 71) << got.run;
  EXPECT_FALSE(h.record("argv0"));
  EXPECT_LOGGED(got, {"IP: 127.0.0.1 - cannot read control/zelmd_policy.cdb: not a compiled "
                      "policy; run qmail-zelmd-policy (exit 71)"});
}

// Refused and kept, then released: the queue program gets the envelope as
// it came and the message as it would have been queued.
TEST(Rules, QuarantineThenRelease) {
  for (const size_t size : {size_t{100}, size_t{40000}}) {
    SCOPED_TRACE(size);
    qmail_home h;
    loopback_daemon d({.response = http_response(answer_text(spam))});
    point_at(h, d.port());
    h.control("zelmd_check_inbound", "1\n");
    h.control("zelmd_quarantine_dir", (h.root / "kept").string() + "\n");
    fs::create_directory(h.root / "kept");
    ASSERT_EQ(h.policy(".example:block_spam=1,quarantine=1\n"), "");
    const std::string msg = "Subject: q\n\n" + std::string(size, 'q') + "\n";
    const std::string env = envelope({"Fa@x", "Tb@q.example", "Tc@other"});
    const auto got = run_caught(h, d, {.message = msg, .envelope = env});
    EXPECT_EQ(got.run.code, 31) << got.run;
    EXPECT_FALSE(h.record("argv0"));
    std::vector<fs::path> kept;
    for (const auto &e : fs::directory_iterator(h.root / "kept")) kept.push_back(e.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(fs::status(kept[0]).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_LOGGED(got, {in_line, "QUARANTINE IP: 127.0.0.1, File: " + kept[0].string(),
                        "IP: 127.0.0.1 - refused by control/zelmd_policy .example block_spam "
                        "(exit 31)"});
    const std::string cmd = "FAKEQ_DIR=" + h.queue.string() + " " + ZELMD_RELEASE + " -d " +
                            h.home.string() + " " +
                            kept[0].string() + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_FALSE(fs::exists(kept[0]));
    EXPECT_EQ(h.record("envelope"), env);
    EXPECT_TRUE(same_bytes(h.record("message"), stamped(msg, 11, verdict)));
  }
}

} // namespace
