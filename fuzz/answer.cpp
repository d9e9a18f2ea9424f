// The answer parser on arbitrary daemon answers: one value lookup,
// checked against a line-by-line reading of the same rules, then the
// whole parse under direction switches taken from the input. The log
// writer is replaced here, so that every logged line is read in full under
// the address checker and no real log fills up; it must also be free of
// control bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alloc.h"
#include "zelmd_response.h"

int zelmd_check_inbound;
int zelmd_check_outbound;
const char *remoteip = "192.0.2.7";
char mail_from[500] = "sender@example.org";

namespace {
int lines_logged;

void check(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "answer: %s\n", what);
  std::abort();
}


const char *const names[] = {
    "X-ZELM-PVer",
    "X-ZELM-Spam",
    "X-ZELM-VOD",
    "X-ZELM-Flags",
    "X-ZELM-RefID",
    "X-ZELM-SenderID",
    "X-ZELM-SenderID-Flags",
    "X-ZELM-SenderID-TotalMessages",
    "X-ZELM-SenderID-TotalSpam",
    "X-ZELM-SenderID-TotalSuspected",
    "X-ZELM-SenderID-TotalVirus",
    "X-ZELM-SenderID-BlueWhiteFlag",
};

// The same lookup read per line: at each carriage return behind the
// line's first colon, the name is what stands before that colon; the value
// holds the bytes behind it, a NUL for every carriage return so far, and
// loses spaces and colons.
bool lookup(const std::string &text, const char *name, std::string *value) {
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t colon = line.find(':');
    std::string line_name;
    for (size_t i = 0; i < colon && i < line.size(); ++i)
      if (line[i] != ' ' && line[i] != '\r') line_name += line[i];
    std::string v;
    for (size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '\r') {
        v += '\0';
        if (colon < i && line_name == name) return *value = v, true;
      } else if (colon < i && c != ' ' && c != ':') {
        v += c;
      }
    }
    start = end + 1;
  }
  return false;
}

bool terminated(const stralloc &sa) { return !sa.len || (sa.s && !sa.s[sa.len - 1]); }

void release(stralloc *sa) {
  if (sa->s) alloc_free(sa->s);
  *sa = stralloc{};
}
} // namespace

void log_write(const char *text, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    check(c >= 0x20 && c != 0x7f, "a control byte in a log line");
  }
  ++lines_logged;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  // 2 stands for a switch file holding some other number.
  zelmd_check_inbound = in.ConsumeIntegralInRange(0, 2);
  zelmd_check_outbound = in.ConsumeIntegralInRange(0, 2);
  const int headers_before = outbound_headers = in.ConsumeBool();
  const size_t pick = in.ConsumeIntegralInRange<size_t>(0, std::size(names));
  const std::string custom = in.ConsumeRandomLengthString(40);
  const char *name = pick < std::size(names) ? names[pick] : custom.c_str();
  std::string text = in.ConsumeRemainingBytesAsString();
  text.resize(std::strlen(text.c_str())); // the answer ends at its first NUL

  stralloc value = {};
  std::string want;
  const int found = find_header_value(text.c_str(), name, &value);
  const bool expect = lookup(text, name, &want);
  check(found == expect, "found differs from the line reading");
  if (found) {
    check(std::string(value.s, value.len) == want, "value differs from the line reading");
    check(terminated(value) && value.len, "value not NUL-terminated");
    check(!std::strpbrk(value.s, " :\r\n"), "value holds a space, colon or line end");
  } else {
    check(!value.len, "value left behind without a match");
  }
  release(&value);

  ClassifyResult r = {};
  lines_logged = 0;
  const int code = parse_zelmd_response(text.c_str(), &r);
  check(code >= 0 && code <= 4, "summary code out of range");
  check(lines_logged == 1, "not exactly one log line");
  stralloc *const fields[] = {&r.pver, &r.spam, &r.vod, &r.flags, &r.refid, &r.senderid,
                              &r.senderid_flags, &r.senderid_totalmessages,
                              &r.senderid_totalspam, &r.senderid_totalsuspected,
                              &r.senderid_totalvirus, &r.bluewhiteflag};
  for (stralloc *f : fields) check(terminated(*f), "field not NUL-terminated");

  bool all_required = true;
  for (size_t i = 0; i < 5 && all_required; ++i) all_required = lookup(text, names[i], &want);
  check((code == 4) == !all_required, "unusable answer misjudged");
  if (code != 4 && zelmd_check_outbound == 1) {
    bool all_sender = true;
    for (size_t i = 5; i < 11 && all_sender; ++i) all_sender = lookup(text, names[i], &want);
    check(outbound_headers == (headers_before || all_sender), "outbound_headers wrong");
    const bool bw = lookup(text, names[11], &want);
    const long num = bw ? std::strtol(want.c_str(), nullptr, 10) : -1;
    check(r.bluewhiteflag_num == static_cast<int32_t>(num), "bluewhiteflag_num wrong");
  } else {
    check(outbound_headers == headers_before, "outbound_headers changed");
    check(r.bluewhiteflag_num == -1, "bluewhiteflag_num set");
  }
  if (code < 3) check(r.bluewhiteflag_num <= 1, "refusal code despite the blue/white flag");
  if (code == 0) check(!std::strcmp(r.spam.s, "Confirmed"), "code 0 without Confirmed");
  for (stralloc *f : fields) release(f);
  return 0;
}
