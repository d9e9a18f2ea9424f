// Which answer lines are read and how the message's line is logged, at
// function level.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "zelmd_response.h"

namespace {

const std::string required = "X-ZELM-PVer: 7\r\nX-ZELM-Spam: Bulk\r\nX-ZELM-VOD: Clean\r\n"
                             "X-ZELM-Flags: 3\r\nX-ZELM-RefID: r\r\n";
const std::string id = "X-ZELM-SenderID: joe\r\nX-ZELM-SenderID-Flags: 2\r\n";
const std::string totals = "X-ZELM-SenderID-TotalMessages: 10\r\nX-ZELM-SenderID-TotalSpam: 4\r\n"
                           "X-ZELM-SenderID-TotalSuspected: 5\r\nX-ZELM-SenderID-TotalVirus: 6\r\n";
std::string bw(const char *v) {
  return std::string("X-ZELM-SenderID-BlueWhiteFlag: ") + v + "\r\n";
}
const std::string all = required + id + totals + bw("0");

// Every field and '|', then the flag's number and outbound_headers.
std::string fields(const ClassifyResult &r) {
  std::string s;
  for (const stralloc *f : {&r.pver, &r.spam, &r.vod, &r.flags, &r.refid, &r.senderid,
                            &r.senderid_flags, &r.senderid_totalmessages, &r.senderid_totalspam,
                            &r.senderid_totalsuspected, &r.senderid_totalvirus, &r.bluewhiteflag})
    s += std::string(f->s && f->len ? f->s : "") + "|";
  return s + std::to_string(r.bluewhiteflag_num) + "|" + std::to_string(r.outbound_headers);
}

TEST(ParseAnswer, LineRules) {
  const struct {
    const char *name;
    std::optional<std::string> answer; // none: no answer at all
    bool outbound;
    int ret;
    const char *fields;
  } rows[] = {
      {"no answer", std::nullopt, true, -1, "||||||||||||-1|0"},
      {"Flags missing", "X-ZELM-PVer: 7\r\nX-ZELM-Spam: Bulk\r\nX-ZELM-VOD: Clean\r\n"
       "X-ZELM-RefID: r\r\n" + id + totals, true, -1, "7|Bulk|Clean||||||||||-1|0"},
      {"inbound: no sender lines", all, false, 0, "7|Bulk|Clean|3|r||||||||-1|0"},
      {"every line", all, true, 0, "7|Bulk|Clean|3|r|joe|2|10|4|5|6|0|0|1"},
      {"up to the first missing", required + id + "X-ZELM-SenderID-TotalSpam: 4\r\n" + bw("-3"),
       true, 0, "7|Bulk|Clean|3|r|joe|2|||||-3|-3|0"},
      {"no flag line", required + id + totals, true, 0, "7|Bulk|Clean|3|r|joe|2|10|4|5|6|-1|-1|1"},
      {"flag not a number", required + bw("abc"), true, 0, "7|Bulk|Clean|3|r|||||||abc|0|0"},
      {"flag's leading number", required + bw("12abc"), true, 0,
       "7|Bulk|Clean|3|r|||||||12abc|12|0"},
  };
  for (const auto &row : rows) {
    ClassifyResult r{};
    EXPECT_EQ(parse_zelmd_response(row.answer ? row.answer->c_str() : nullptr, row.outbound, &r),
              row.ret)
        << row.name;
    EXPECT_EQ(fields(r), row.fields) << row.name;
  }
}

TEST(ParseAnswer, LogLineForms) {
  const std::string head = "IP: 192.0.2.1, From: a@x, sClass: Bulk, vClass: Clean, RefID: r";
  const struct {
    const char *name;
    std::string answer;
    bool outbound, in_form;
    const char *from;
    std::string line;
  } rows[] = {
      {"IN form", all, false, true, "a@x", "IN  " + head},
      {"long OUT", all, true, false, "a@x",
       "OUT " + head + ", SenderID: joe, Flags: 2, TMsg: 10, TSpam: 4, TSus: 5, TVirus: 6, "
                       "BWFlag: 0"},
      {"short OUT", required + id, true, false, "a@x", "OUT " + head + ", SenderID: N/A"},
      {"unusable", id + totals, true, true, "a@x", "IP: 192.0.2.1 - unable to processes response"},
      {"control bytes made '?'", "X-ZELM-Spam: B\tu\x01lk\r\n" + required, false, true, "a\n\x1b@x",
       "IN  IP: 192.0.2.1, From: a??@x, sClass: B?u?lk, vClass: Clean, RefID: r"},
  };
  for (const auto &row : rows) {
    ClassifyResult r{};
    const bool usable = parse_zelmd_response(row.answer.c_str(), row.outbound, &r) == 0;
    char buf[4096];
    const size_t n = zelmd_response_line(buf, sizeof buf, r, usable, row.in_form, "192.0.2.1",
                                         row.from);
    EXPECT_EQ(std::string(buf, n), row.line) << row.name;
  }
}

} // namespace
