// The message as put_message hands it on: untouched, without the X-ZELM-
// fields it came with, or with ours stamped in.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "forward.h"

using namespace std::string_literals;

namespace {

std::string sent;

ssize_t collect(int, char *buf, size_t len) {
  sent.append(buf, len);
  return static_cast<ssize_t>(len);
}

std::string put(const std::string &msg, plan_kind how, const ClassifyResult &r, bool sender,
                std::string_view tag = {}) {
  const auto m = std::make_unique<message>(); // 32 KB: not on the stack
  m->size = msg.copy(m->message_buffer, sizeof m->message_buffer);
  header_scan(&m->header, m->message_buffer, m->size);
  qmail_handle qq;
  substdio_fdbuf(&qq.ss, collect, 0, qq.buf, sizeof qq.buf);
  qq.flag_error = 0;
  sent.clear();
  failure f = {};
  EXPECT_EQ(put_message(*m, {how, &r, sender, tag}, &qq, &f), 0);
  substdio_flush(&qq.ss);
  return sent;
}

void fill(stralloc &sa, const std::string &v) { stralloc_copyb(&sa, v.c_str(), v.size() + 1); }

ClassifyResult answer() {
  ClassifyResult r{};
  int i = 0;
  for (stralloc *f : {&r.pver, &r.spam, &r.vod, &r.refid, &r.senderid, &r.senderid_flags,
                      &r.senderid_totalmessages, &r.senderid_totalspam, &r.senderid_totalsuspected,
                      &r.senderid_totalvirus, &r.bluewhiteflag})
    fill(*f, "v" + std::to_string(i++));
  return r;
}

const std::string verdict_lines =
    "X-ZELM-Pver: v0\nX-ZELM-Spam: v1\nX-ZELM-VOD: v2\nX-ZELM-RefID: v3\n";
const std::string sender_lines =
    "X-ZELM-SenderID: v4\nX-ZELM-SenderID-Flags: v5\nX-ZELM-BlueWhiteFlag: v10\n"
    "X-ZELM-SenderID-TotalMessages: v6\nX-ZELM-SenderID-TotalSpam: v7\n"
    "X-ZELM-SenderID-TotalSuspected: v8\nX-ZELM-SenderID-TotalVirus: v9\n";

TEST(PutMessage, HeaderForms) {
  const auto U = plan_kind::untouched, N = plan_kind::unscanned, S = plan_kind::stamped;
  const struct {
    const char *name;
    plan_kind how;
    bool sender;
    std::string in, out;
  } rows[] = {
      {"untouched", U, true, "X-ZELM-A: 1\nS: a\n\nb"s, "X-ZELM-A: 1\nS: a\n\nb"s},
      {"any case, with folds", N, false, "x-zElM-vod: 1\n f\n\tg\nS: a\n h\n\nb",
       "S: a\n h\n\nb"},
      {"the bare prefix is ours", N, false, "X-ZELM-\nS: a\n\n", "S: a\n\n"},
      {"names like ours stay", N, false, "X-ZELM: 1\nX-ZELMD-A: 2\n\n",
       "X-ZELM: 1\nX-ZELMD-A: 2\n\n"},
      // Behind a bare CR ours goes with that CR and keeps its own line end.
      {"behind bare CRs", N, false, "A: 1\rX-ZELM-A: 1\nB: 2\rX-ZELM-B: 2\r\nC: 3\n\n",
       "A: 1\nB: 2\r\nC: 3\n\n"},
      {"ended by a bare CR", N, false, "X-ZELM-A: 1\rB: 2\n\n", "B: 2\n\n"},
      {"all header, bare CR end", N, false, "A: 1\nX-ZELM-A: 1\r", "A: 1\n"},
      {"stamped after the header", S, false, "X-ZELM-A: 1\nS: a\n\nb",
       "S: a\n" + verdict_lines + "\nb"},
      {"eleven lines", S, true, "S: a\r\n\r\nb",
       "S: a\r\n" + verdict_lines + sender_lines + "\r\nb"},
      {"all header: at the top", S, false, "S: a\nX-ZELM-A: 1", verdict_lines + "S: a\n"},
  };
  const ClassifyResult r = answer();
  for (const auto &row : rows) EXPECT_EQ(put(row.in, row.how, r, row.sender), row.out) << row.name;
}

// The tag goes before the value of the first Subject: field, lines ended
// as the forged-field filter ends them; without one, a Subject: line of
// its own goes with the stamps.
TEST(PutMessage, SubjectTag) {
  const std::string v = verdict_lines, added = "Subject: [T]\n";
  const struct {
    const char *name;
    std::string in, out;
  } rows[] = {
      {"before the value", "A: 1\nSubject: hi\n\nb", "A: 1\nSubject: [T] hi\n" + v + "\nb"},
      {"any case, blanks", "SUBJECT \t:  hi\r\n\r\n", "SUBJECT \t:  [T] hi\r\n" + v + "\r\n"},
      {"the first only", "Subject: a\nsubject: b\n\n", "Subject: [T] a\nsubject: b\n" + v + "\n"},
      {"folded, empty first line", "Subject:\n hi\n\n", "Subject:[T] \n hi\n" + v + "\n"},
      {"behind a bare CR", "A: 1\rSubject: x\n\n", "A: 1\rSubject: [T] x\n" + v + "\n"},
      {"behind a forged field", "X-ZELM-A: 1\n f\nSubject: x\n\n", "Subject: [T] x\n" + v + "\n"},
      {"at the header's end", "Subject:", v + "Subject:[T] "},
      {"a continuation is no field", "A: 1\n Subject: x\n\n", "A: 1\n Subject: x\n" + v + added + "\n"},
      {"another name", "Subjects: x\n\nSubject: body", "Subjects: x\n" + v + added + "\nSubject: body"},
      {"all header, none", "A: 1", v + added + "A: 1"},
  };
  const ClassifyResult r = answer();
  for (const auto &row : rows)
    EXPECT_EQ(put(row.in, plan_kind::stamped, r, false, "[T]"), row.out) << row.name;
  EXPECT_EQ(put("Subject: x\n\n", plan_kind::unscanned, r, false, "[T]"), "Subject: x\n\n");
}

TEST(PutMessage, StampedValues) {
  const struct {
    const char *name;
    stralloc ClassifyResult::*field;
    std::string value; // "-": never filled
    std::string from, to;
  } rows[] = {
      {"control bytes, TAB kept", &ClassifyResult::refid, "a\x01\tb\x7f\r\n",
       "RefID: v3\n", "RefID: a?\tb???\n"},
      {"never filled", &ClassifyResult::vod, "-", "VOD: v2\n", "VOD: \n"},
      {"998 bytes a line", &ClassifyResult::pver, std::string(2000, 'p'), "Pver: v0\n",
       "Pver: " + std::string(998 - 13, 'p') + "\n"},
      {"998 bytes, longest name", &ClassifyResult::senderid_totalsuspected, std::string(985, 's'),
       "TotalSuspected: v8\n", "TotalSuspected: " + std::string(998 - 32, 's') + "\n"},
  };
  for (const auto &row : rows) {
    ClassifyResult r = answer();
    if (row.value == "-") r.*row.field = stralloc{};
    else stralloc_copyb(&(r.*row.field), row.value.data(), row.value.size() + 1);
    std::string want = "S: a\n" + verdict_lines + sender_lines + "\nb";
    want.replace(want.find(row.from), row.from.size(), row.to);
    EXPECT_EQ(put("S: a\n\nb", plan_kind::stamped, r, true), want) << row.name;
  }
}

} // namespace
