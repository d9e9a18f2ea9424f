// The answer parser on arbitrary daemon answers: one value lookup,
// checked against a line-by-line reading of the same rules, then the
// whole parse for either direction, and the line the filter would log,
// which must be free of control bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alloc.h"
#include "zelmd_response.h"

namespace {

void check(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "answer: %s\n", what);
  std::abort();
}



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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool outbound = in.ConsumeBool();
  const bool in_form = in.ConsumeBool();
  const size_t pick = in.ConsumeIntegralInRange<size_t>(0, ZELMD_FIELDS);
  const std::string custom = in.ConsumeRandomLengthString(40);
  const char *name = pick < ZELMD_FIELDS ? zelmd_fields[pick].name : custom.c_str();
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
  const int code = parse_zelmd_response(text.c_str(), outbound, &r);
  check(code == 0 || code == -1, "result out of range");
  char line[4096];
  const size_t n = zelmd_response_line(line, sizeof line, r, code == 0, in_form, "192.0.2.7\r",
                                       "sender@example.org\n");
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    check(c >= 0x20 && c != 0x7f, "a control byte in a log line");
  }
  stralloc *const fields[] = {&r.pver, &r.spam, &r.vod, &r.flags, &r.refid, &r.senderid,
                              &r.senderid_flags, &r.senderid_totalmessages,
                              &r.senderid_totalspam, &r.senderid_totalsuspected,
                              &r.senderid_totalvirus, &r.bluewhiteflag};
  for (stralloc *f : fields) check(terminated(*f), "field not NUL-terminated");

  bool all_required = true;
  for (size_t i = 0; i < 5 && all_required; ++i) all_required = lookup(text, zelmd_fields[i].name, &want);
  check((code == -1) == !all_required, "unusable answer misjudged");
  if (code == 0 && outbound) {
    bool all_sender = true;
    for (size_t i = 5; i < 11 && all_sender; ++i) all_sender = lookup(text, zelmd_fields[i].name, &want);
    check(r.outbound_headers == all_sender, "outbound_headers wrong");
    const bool bw = lookup(text, zelmd_fields[11].name, &want);
    const long num = bw ? std::strtol(want.c_str(), nullptr, 10) : -1;
    check(r.bluewhiteflag_num == static_cast<int32_t>(num), "bluewhiteflag_num wrong");
  } else {
    check(!r.outbound_headers, "outbound_headers set");
    check(r.bluewhiteflag_num == -1, "bluewhiteflag_num set");
  }
  for (stralloc *f : fields) release(f);
  return 0;
}
