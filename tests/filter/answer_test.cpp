// What the filter makes of the daemon's answer lines: the X-ZELM lines it
// stamps into the message, where it puts them, and its one log line.
#include "classify_support.h"

namespace fs = std::filesystem;

namespace {

const std::string small = "Subject: x\n\nbody\n";
const std::string in_line =
    "IN  IP: 192.0.2.7, From: a@x, sClass: Bulk, vClass: Clean, RefID: ref-42";
const std::string failed = "IP: 192.0.2.7 - unable to processes response";
const std::string out_short =
    "OUT IP: 192.0.2.7, From: a@x, sClass: Bulk, vClass: Clean, RefID: ref-42, SenderID: N/A";
const std::string out_long_head =
    "OUT IP: 192.0.2.7, From: a@x, sClass: Bulk, vClass: Clean, RefID: ref-42, SenderID: joe, "
    "Flags: 1, TMsg: 120, TSpam: 7, TSus: 5, TVirus: 1, BWFlag: ";

field_list without(field_list a, const std::string &name) {
  std::erase_if(a, [&](const auto &l) { return l.first == name; });
  return a;
}

field_list replaced(field_list a, const std::string &name, const std::string &value) {
  for (auto &l : a)
    if (l.first == name) l.second = value;
  return a;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct verdict_case {
  const char *name;
  std::string body; // the answer's body
  std::vector<std::string> stamp;
  std::string log;
};

// One classified message with the given answer; the stamp and the log
// line must come out as the case says.
void expect_verdict(const verdict_case &c, const std::vector<std::string> &env,
                    const field_list &controls) {
  SCOPED_TRACE(c.name);
  qmail_home h;
  loopback_daemon d({.response = http_response(c.body)});
  point_at(h, d.port());
  for (const auto &[f, v] : controls) h.control(f, v + "\n");
  const auto got = run_caught(h, d, {.message = small, .envelope = envelope({"Fa@x", "Tb"}),
                                     .env = env});
  EXPECT_EQ(got.run.code, 0) << got.run;
  EXPECT_TRUE(same_bytes(h.record("message"), stamped(small, 11, c.stamp)));
  EXPECT_EQ(h.record("envelope"), queue_envelope("a@x", {"b"}));
  EXPECT_LOGGED(got, {c.log});
  EXPECT_FALSE(fs::exists(got.run.workdir));
}

TEST(Answer, LineRules) {
  const field_list ok = inbound_answer();
  const std::string text = answer_text(ok);
  const verdict_case cases[] = {
      {"CR LF lines", text, inbound_stamp(), in_line},
      {"bare LF lines: nothing found", answer_text(ok, "\n"), verdict_stamp("", "", "", ""),
       failed},
      {"one bare LF line", answer_text(replaced(ok, "X-ZELM-Spam", "Bulk\n")),
       verdict_stamp("0000001", "", "", ""), failed},
      // Lookups stop at the first missing line: RefID stays empty.
      {"Flags missing", answer_text(without(ok, "X-ZELM-Flags")),
       verdict_stamp("0000001", "Bulk", "Clean", ""), failed},
      {"last line without CR LF", text.substr(0, text.size() - 2),
       verdict_stamp("0000001", "Bulk", "Clean", ""), failed},
      {"name in other letter case",
       answer_text(without(ok, "X-ZELM-VOD")) + "x-zelm-vod: Virus\r\n",
       verdict_stamp("0000001", "Bulk", "", ""), failed},
      {"first of two wins", "X-ZELM-Spam: Confirmed\r\n" + text,
       verdict_stamp("0000001", "Confirmed", "Clean", "ref-42"),
       "IN  IP: 192.0.2.7, From: a@x, sClass: Confirmed, vClass: Clean, RefID: ref-42"},
      {"spaces dropped, also before the colon",
       answer_text(replaced(without(ok, "X-ZELM-Spam"), "X-ZELM-RefID", " ref- 4 2 ")) +
           "X-ZELM-Spam : Bulk\r\n",
       inbound_stamp(), in_line},
      // Stamped as it came, logged made safe.
      {"a tab kept", answer_text(replaced(ok, "X-ZELM-RefID", "\tr")),
       verdict_stamp("0000001", "Bulk", "Clean", "\tr"),
       "IN  IP: 192.0.2.7, From: a@x, sClass: Bulk, vClass: Clean, RefID: ?r"},
      {"colons dropped", answer_text(replaced(ok, "X-ZELM-VOD", "Cl:ea:n")), inbound_stamp(),
       in_line},
      {"other lines around", "HTTP-ish status\r\n\r\nX-Other: 1\r\n" + text + "Tail\r\n",
       inbound_stamp(), in_line},
      {"bytes from 0x80 kept", answer_text(replaced(ok, "X-ZELM-RefID", "r\xe9")),
       verdict_stamp("0000001", "Bulk", "Clean", "r\xe9"),
       "IN  IP: 192.0.2.7, From: a@x, sClass: Bulk, vClass: Clean, RefID: r\xe9"},
      // A stamped value can neither break its line nor make it too long
      // for a relay: at most 998 bytes with the name.
      {"control bytes in a value",
       answer_text(replaced(ok, "X-ZELM-PVer", "a\x01" "b\x7f\x1b\tc\x0c")),
       verdict_stamp("a?b??\tc?", "Bulk", "Clean", "ref-42"), in_line},
      {"a value of 100 KB", answer_text(replaced(ok, "X-ZELM-PVer", std::string(100000, 'v'))),
       verdict_stamp(std::string(998 - 13, 'v'), "Bulk", "Clean", "ref-42"), in_line},
  };
  for (const auto &c : cases)
    expect_verdict(c, {"TCPREMOTEIP=192.0.2.7"}, {{"zelmd_check_inbound", "1"}});
}

TEST(Answer, OutboundLinesAndLogForms) {
  const field_list full = outbound_answer();
  const auto out_stamp = [](const std::vector<std::string> &sender) {
    return joined(inbound_stamp(), sender_stamp(sender));
  };
  const verdict_case cases[] = {
      {"all sender lines", answer_text(full), outbound_stamp(), out_long_head + "0"},
      {"no blue/white line", answer_text(without(full, "X-ZELM-SenderID-BlueWhiteFlag")),
       out_stamp({"joe", "1", "-1", "120", "7", "5", "1"}), out_long_head + "-1"},
      {"blue/white not a number",
       answer_text(replaced(full, "X-ZELM-SenderID-BlueWhiteFlag", "abc")),
       out_stamp({"joe", "1", "abc", "120", "7", "5", "1"}), out_long_head + "abc"},
      // Sender lookups stop at the first missing one; the flag is still read.
      {"a sender line missing", answer_text(without(full, "X-ZELM-SenderID-TotalSpam")),
       out_stamp({"joe", "1", "0", "120"}), out_short},
      {"longer names listed first",
       "X-ZELM-SenderID-Flags: 1\r\n" + answer_text(full),
       outbound_stamp(), out_long_head + "0"},
      {"required line missing", answer_text(without(full, "X-ZELM-RefID")),
       joined(verdict_stamp("0000001", "Bulk", "Clean", ""), sender_stamp({})), failed},
  };
  for (const auto &c : cases)
    expect_verdict(c, {"RELAYCLIENT=", "TCPREMOTEIP=192.0.2.7"}, {{"zelmd_check_outbound", "1"}});
}

// Only a switch of exactly 1 brings the direction's extras.
TEST(Answer, SwitchOtherThanOne) {
  const std::string full = answer_text(outbound_answer());
  expect_verdict({"check_outbound 2", full, inbound_stamp(), out_short},
                 {"SMTPAUTHUSER=joe", "TCPREMOTEIP=192.0.2.7"}, {{"zelmd_check_outbound", "2"}});
  expect_verdict({"check_inbound 2", full, inbound_stamp(), out_short},
                 {"TCPREMOTEIP=192.0.2.7"}, {{"zelmd_check_inbound", "2"}});
}

// The sender whole, its control bytes made safe.
TEST(Answer, LogCarriesTheWholeSenderAndDefaultAddress) {
  qmail_home h;
  const std::string from = std::string(300, 'f') + "\n\x1b[1m";
  loopback_daemon d({.response = http_response(answer_text(inbound_answer()))});
  point_at(h, d.port());
  h.control("zelmd_check_inbound", "1\n");
  const auto got = run_caught(h, d, {.message = small, .envelope = envelope({"F" + from, "Tb"})});
  EXPECT_EQ(got.run.code, 0) << got.run;
  EXPECT_LOGGED(got, {"IN  IP: 127.0.0.1, From: " + std::string(300, 'f') +
                           "??[1m, sClass: Bulk, vClass: Clean, RefID: ref-42"});
}

std::string big_message(size_t size, std::initializer_list<size_t> line_feeds, size_t nul = 0) {
  std::string m(size, 'm');
  for (size_t i = 79; i < size; i += 80) m[i] = '\n';
  for (size_t at : line_feeds) m[at] = '\n';
  if (nul) m[nul] = '\0';
  return m;
}

std::string overwritten(std::string m, size_t at, const std::string &bytes) {
  return m.replace(at, bytes.size(), bytes);
}

// The lines go right before the first empty line, wherever it is, whether
// the message is in memory or spooled and wherever the reads end; at the
// top of a message without one.
TEST(Stamp, Placement) {
  struct {
    const char *name;
    std::string message;
    size_t at;
    std::string host = "127.0.0.1";
  } cases[] = {
      {"in memory", small, 11},
      {"in memory, no blank line", "Subject: x\nbody\n", 0},
      {"in memory, CR LF message", "Subject: x\r\n\r\nbody\r\n", 12},
      {"in memory, CR LF blank line after LF lines", "Subject: x\n\r\nbody\n", 11},
      {"in memory, CR in a line is no blank line", "Subject: x\n\rX\n\nbody", 14},
      {"in memory, starts with a blank line", "\n\nbody", 0},
      {"in memory, starts with a CR LF blank line", "\r\nbody\n\n", 0},
      {"in memory, NUL in the body", std::string("Subject: x\n\nb\0dy", 16), 11},
      {"in memory, NUL before the blank line", std::string("Subj\0ct: x\n\nbody", 16), 11},
      {"in memory, blank line near the end", big_message(31999, {31990, 31991}), 31991},
      {"spooled, header of 500", big_message(100000, {499, 500}), 500},
      {"spooled to localhost, header of 500", big_message(100000, {499, 500}), 500, "localhost"},
      {"spooled, NUL in the header", big_message(100000, {499, 500}, 10), 500},
      {"spooled, no blank line", big_message(100000, {}), 0},
      {"spooled, blank line past 32000", big_message(100000, {40010, 40011}), 40011},
      {"spooled, blank line past 64 KiB", big_message(200000, {69999, 70000}), 70000},
      {"spooled, blank line ends at 32000", big_message(100000, {31998, 31999}), 31999},
      {"spooled, blank line across 32000", big_message(100000, {31999, 32000}), 32000},
      {"spooled, CR LF blank line across 32000",
       overwritten(big_message(100000, {}), 31998, "\n\r\n"), 31999},
  };
  for (const auto &c : cases) {
    for (const char *dir : {"in", "out"}) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << dir);
      const bool out = dir[0] == 'o';
      qmail_home h;
      loopback_daemon d({.response = http_response(answer_text(outbound_answer()))});
      point_at(h, d.port(), c.host);
      h.control(out ? "zelmd_check_outbound" : "zelmd_check_inbound", "1\n");
      const auto got = run_caught(h, d, {.message = c.message, .envelope = envelope({"Fa", "Tb"}),
                                         .env = {out ? "SMTPAUTHUSER=joe" : "X=1"}});
      EXPECT_EQ(got.run.code, 0) << got.run;
      EXPECT_TRUE(same_bytes(h.record("message"),
                             stamped(c.message, c.at, out ? outbound_stamp() : inbound_stamp())));
      EXPECT_FALSE(fs::exists(got.run.workdir));
    }
  }
}

} // namespace
