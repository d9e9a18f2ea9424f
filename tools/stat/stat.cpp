// The summary of the filter's log: which lines are the filter's, what each
// says, and the counts printed for a person or for node_exporter.
#include "stat.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <tuple>
#include <vector>

namespace {

using count = stat_count;
constexpr const char *cause_names[causes] = {"daemon unreachable", "time-out", "error status",
                                             "unusable answer", "other daemon trouble"};
constexpr const char *cause_labels[causes] = {"unreachable", "timeout", "error_status", "unusable",
                                              "other"};
constexpr const char *dir_names[] = {"inbound", "outbound", "any"};
constexpr size_t npos = std::string_view::npos;

// Where name is counted: under itself while the table has room, else under
// "(others)".
template <class V> V &entry(stat_table<V> &m, std::string_view name) {
  name = name.substr(0, stat_name_max);
  if (const auto it = m.find(name); it != m.end()) return it->second;
  return m[std::string(m.size() < stat_names_kept ? name : "(others)")];
}

// The state of pid's run, made anew. A run that passes logs no end, so
// its state would stay for ever: once there are many, those made long ago
// go; a run's lines lie seconds apart.
stat_run &new_run(stat_tally &t, unsigned long pid, int d) {
  if (t.runs.size() >= t.sweep_at) {
    std::erase_if(t.runs, [&](const auto &r) { return t.lines - r.second.line > 1 << 16; });
    t.sweep_at = std::max<size_t>(1 << 16, 2 * t.runs.size());
  }
  stat_run &r = t.runs[pid];
  r = {.sender = "", .dir = d, .unusable_pending = false, .line = t.lines};
  return r;
}

bool digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

size_t skip_digits(std::string_view s, size_t at) {
  while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
  return at;
}

// Whether s has form's shape at at: '9' a digit, 'f' a hex digit, '_' a
// digit or a blank, any other byte itself.
bool shaped(std::string_view s, size_t at, std::string_view form) {
  if (at > s.size() || s.size() - at < form.size()) return false;
  for (size_t k = 0; k < form.size(); ++k) {
    const char c = s[at + k], f = form[k];
    const bool digit = c >= '0' && c <= '9';
    if (f == '9'   ? !digit
        : f == 'f' ? !digit && !(c >= 'a' && c <= 'f')
        : f == '_' ? !digit && c != ' '
                   : c != f)
      return false;
  }
  return true;
}

// The end of a syslog time stamp at at, npos when none stands there: "Dec  8
// 11:04:12" or journalctl's "Dec 08 11:04:12", or "2024-12-08T11:04:12" with
// a zone as newer syslog daemons write it; either with a fraction. What is
// shown of it goes to shown.
size_t syslog_stamp(std::string_view s, size_t at, std::string &shown) {
  static constexpr std::string_view months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const bool iso = shaped(s, at, "9999-99-99T99:99:99");
  const size_t m = iso ? npos : months.find(s.substr(at, 3));
  if (!iso && (m == npos || m % 3 || !shaped(s, at + 3, " _9 99:99:99"))) return npos;
  shown = s.substr(at, iso ? 19 : 15);
  if (!iso && shown[4] == '0') shown[4] = ' ';
  size_t end = at + shown.size();
  if (shaped(s, end, ".9")) end = skip_digits(s, end + 1);
  if (iso && shaped(s, end, "Z")) return end + 1;
  if (iso && end < s.size() && (s[end] == '+' || s[end] == '-'))
    return shaped(s, end + 1, "99:99") ? end + 6 : shaped(s, end + 1, "9999") ? end + 5 : end;
  return end;
}

// A TAI64N label as tai64nlocal shows it; empty for one out of range.
std::string tai64n_time(std::string_view hex) {
  // multilog's label: 2^62, plus TAI's 10 s ahead of the epoch.
  constexpr unsigned long long epoch = (1ull << 62) + 10;
  const unsigned long long label = std::strtoull(std::string(hex).c_str(), nullptr, 16);
  if (label < epoch || label - epoch > 1ull << 40) return "";
  const auto secs = static_cast<time_t>(label - epoch);
  struct tm tm;
  char s[32];
  if (!localtime_r(&secs, &tm) || !std::strftime(s, sizeof s, "%Y-%m-%d %H:%M:%S", &tm)) return "";
  return s;
}

// A rule as logged after "control/": a control file, or a policy entry and
// its setting ("zelmd_policy example.org block_spam"), which counts under
// "zelmd_policy block_spam" and puts the entry's key in key. 0 when it is
// neither.
int rule_of(std::string_view s, std::string &rule, std::string_view &key) {
  const size_t space = s.find(' ');
  key = {};
  if (space == npos) {
    rule = s;
    return !s.empty();
  }
  const size_t second = s.find(' ', space + 1);
  if (s.substr(0, space) != "zelmd_policy" || second == npos || second == space + 1 ||
      second + 1 == s.size() || s.find(' ', second + 1) != npos)
    return 0;
  key = s.substr(space + 1, second - space - 1);
  rule = "zelmd_policy " + std::string(s.substr(second + 1));
  return 1;
}

// The messages a rule's share is of: a class rule's name says its
// direction, a sender threshold is outbound, a policy setting holds for
// both.
stat_dir rule_dir(std::string_view rule) {
  if (rule.starts_with("zelmd_onsession_in_")) return inbound;
  return rule.starts_with("zelmd_policy ") ? any_dir : outbound;
}

// The value after the last name in line, which is cut there. Taken from
// the right: the daemon's values come last and the client's sender first,
// so odd text in the sender cannot move them.
std::string_view field_before(std::string_view &line, std::string_view name) {
  const size_t at = line.rfind(name);
  if (at == npos) return {};
  std::string_view v = line.substr(at + name.size());
  line = line.substr(0, at);
  return v;
}

void classified(stat_tally &t, stat_dir d, std::string_view text, stat_run &run) {
  std::string_view rest = text;
  if (d == outbound) {
    // The long form ends in the sender's counts; the identity comes before them.
    if (rest.ends_with(", SenderID: N/A")) {
      rest.remove_suffix(15);
    } else {
      field_before(rest, ", Flags: ");
      run.sender = field_before(rest, ", SenderID: ").substr(0, stat_name_max);
    }
  }
  field_before(rest, ", RefID: ");
  const std::string_view virus = field_before(rest, ", vClass: ");
  const std::string_view spam = field_before(rest, ", sClass: ");
  if (rest.find(", From: ") == npos) {
    ++t.not_understood;
    return;
  }
  ++t.classified[d];
  ++entry(t.spam[d], spam.empty() ? "(empty)" : spam);
  ++entry(t.virus[d], virus.empty() ? "(empty)" : virus);
}

// The cause of a daemon failure: "daemon <host>:<port>[ (<address>)]: ...".
stat_cause cause_of(std::string_view reason) {
  if (!reason.starts_with("daemon ")) return daemon_other;
  const size_t colon = reason.find(": ");
  if (colon == npos) return daemon_other;
  const std::string_view why = reason.substr(colon + 2);
  if (why.find("time-out after") != npos) return timed_out;
  if (why.starts_with("connect: ") || why == "name lookup failed" ||
      why.starts_with("sending the request: ") || why.starts_with("reading the answer: "))
    return unreachable;
  if (why.starts_with("status ")) return error_status;
  if (why == "answer without the required X-ZELM- lines" || why == "malformed answer" ||
      why == "answer cut short" || why == "empty answer" || why.starts_with("answer over "))
    return unusable;
  return daemon_other;
}

// "IP: <ip> - <reason> (exit <N>)": the run's end.
void ended(stat_tally &t, std::string_view ip, std::string_view reason, int code,
           const stat_run *run) {
  // A custom reply stands for the refusal it replaced: D permanent, Z temporary.
  const size_t replied = reason.find("; replied \"");
  if (code == 82 && replied != npos && replied + 11 < reason.size()) {
    const char kind = reason[replied + 11];
    if (kind == 'D' || kind == 'Z') {
      code = kind == 'D' ? 31 : 71;
      reason = reason.substr(0, replied);
    }
  }
  constexpr std::string_view rule_prefix = "refused by control/";
  std::string rule;
  std::string_view key;
  if (reason.starts_with(rule_prefix) && rule_of(reason.substr(rule_prefix.size()), rule, key) &&
      (code == 31 || code == 71)) {
    stat_rule &r = entry(t.rules, rule);
    ++(code == 31 ? r.permanent : r.temporary);
    if (!key.empty()) {
      stat_rule &e = entry(t.entries, key);
      ++(code == 31 ? e.permanent : e.temporary);
    }
    // A policy entry's refusal goes by the run's direction.
    stat_dir d = rule_dir(rule);
    if (d == any_dir) d = run && run->dir == outbound ? outbound : inbound;
    const bool by_sender = d == outbound && run && !run->sender.empty();
    ++entry(t.refused_by[d], by_sender ? std::string_view(run->sender) : ip);
  } else if (reason.starts_with("daemon ") && code == 71) {
    const stat_cause c = cause_of(reason);
    if (c == unusable && run && run->unusable_pending) --t.passed[unusable];
    ++t.refused[c];
  } else {
    stat_other_end &o = t.others[code];
    if (!o.n++) o.example = reason.substr(0, stat_name_max);
  }
}

// The code of a reason that ends in " (exit N)", cutting that off; -1
// when it does not.
int exit_code(std::string_view &reason) {
  const size_t at = reason.rfind(" (exit ");
  if (at == npos || !reason.ends_with(")")) return -1;
  const std::string_view n = reason.substr(at + 7, reason.size() - at - 8);
  if (!digits(n) || n.size() > 3) return -1;
  reason = reason.substr(0, at);
  return std::atoi(std::string(n).c_str());
}

void filter_line(stat_tally &t, unsigned long pid, std::string_view text) {
  if (text.starts_with("IN  IP: ")) return classified(t, inbound, text, new_run(t, pid, inbound));
  if (text.starts_with("OUT IP: ")) return classified(t, outbound, text, new_run(t, pid, outbound));
  if (text.starts_with("COPY IP: ") || text.starts_with("QUARANTINE IP: ")) {
    ++(text[0] == 'C' ? t.copies : t.quarantined);
    return;
  }
  const size_t dash = text.find(" - ");
  if (!text.starts_with("IP: ") || dash == npos) {
    ++t.not_understood;
    return;
  }
  const std::string_view ip = text.substr(4, dash - 4);
  std::string_view reason = text.substr(dash + 3);
  const auto found = t.runs.find(pid);
  const stat_run *run = found == t.runs.end() ? nullptr : &found->second;
  constexpr std::string_view would = "would be refused by control/";
  std::string rule;
  std::string_view key;
  if (reason == "unable to processes response") {
    // Passed, unless the reason line of a 71 follows.
    ++t.passed[unusable];
    new_run(t, pid, -1).unusable_pending = true;
  } else if (reason.ends_with(" (passed unscanned)")) {
    reason.remove_suffix(19);
    // Over the size limit the daemon is not asked: no failure of its.
    if (reason.starts_with("message of ") && reason.find(" bytes over control/") != npos)
      ++t.over_size;
    else
      ++t.passed[cause_of(reason)];
  } else if (reason.starts_with(would) && reason.ends_with(" (tag only)") &&
             rule_of(reason.substr(would.size(), reason.size() - would.size() - 11), rule, key)) {
    ++entry(t.rules, rule).tag_only;
    if (!key.empty()) ++entry(t.entries, key).tag_only;
  } else if (const int code = exit_code(reason); code >= 0) {
    ended(t, ip, reason, code, run);
    if (run) t.runs.erase(found);
  } else if (reason.find("; spooled in ") != npos && reason.ends_with(")")) {
    ++t.spool_notes;
  } else {
    ++t.not_understood;
  }
}

} // namespace

int stat_tag(std::string_view line, stat_tagged &out) {
  out = {};
  size_t at = 0;
  bool socklog = true; // socklog's facility and the datagram's stamp may follow
  if (shaped(line, 0, "@ffffffffffffffffffffffff ")) {
    out.stamp = tai64n_time(line.substr(1, 16));
    at = 26;
  } else if (shaped(line, 0, "9999-99-99 99:99:99")) { // through tai64nlocal
    out.stamp = line.substr(0, 19);
    at = shaped(line, 19, ".9") ? skip_digits(line, 20) : 19;
    if (!shaped(line, at++, " ")) return 0;
  } else if (shaped(line, 0, "<9")) { // a datagram: no host
    at = skip_digits(line, 1);
    if (at > 4 || !shaped(line, at, ">")) return 0;
    at = syslog_stamp(line, at + 1, out.stamp);
    if (at == npos || !shaped(line, at++, " ")) return 0;
    socklog = false;
  } else if ((at = syslog_stamp(line, 0, out.stamp)) != npos) { // a file, journalctl
    const size_t host = at + 1, blank = line.find(' ', host);
    if (!shaped(line, at, " ") || blank == npos || blank == host) return 0;
    at = blank + 1;
    socklog = false;
  } else {
    at = 0;
  }
  if (socklog) {
    const auto lower = [&](size_t i) {
      while (i < line.size() &&
             ((line[i] >= 'a' && line[i] <= 'z') || (line[i] >= '0' && line[i] <= '9')))
        ++i;
      return i;
    };
    if (const size_t dot = lower(at); dot > at && shaped(line, dot, "."))
      if (const size_t colon = lower(dot + 1); colon > dot + 1 && shaped(line, colon, ": "))
        at = colon + 2;
    std::string inner;
    if (const size_t end = syslog_stamp(line, at, inner); end != npos && shaped(line, end, " ")) {
      at = end + 1;
      if (out.stamp.empty()) out.stamp = inner;
    }
  }
  constexpr std::string_view tag = "qmail-zelmd[";
  const size_t open = at + tag.size(), close = skip_digits(line, open);
  if (line.substr(at, tag.size()) != tag || close == open || close - open > 10 ||
      !shaped(line, close, "]: "))
    return 0;
  out.pid = std::strtoul(std::string(line.substr(open, close - open)).c_str(), nullptr, 10);
  out.text = line.substr(close + 3);
  return 1;
}

void stat_line(stat_tally &t, std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  stat_tagged l;
  if (!stat_tag(line, l)) return;
  ++t.lines;
  if (!l.stamp.empty()) {
    if (t.first_stamp.empty()) t.first_stamp = l.stamp;
    t.last_stamp = l.stamp;
  }
  filter_line(t, l.pid, l.text);
}

int stat_read(stat_tally &t, FILE *f) {
  std::vector<char> buf(stat_line_max);
  size_t have = 0;
  bool skipping = false; // the rest of a line too long to count
  for (size_t n; (n = std::fread(buf.data() + have, 1, buf.size() - have, f)) > 0;) {
    const char *p = buf.data(), *const end = p + have + n;
    for (const char *nl; (nl = static_cast<const char *>(std::memchr(p, '\n', end - p)));
         p = nl + 1) {
      if (!skipping) stat_line(t, {p, static_cast<size_t>(nl - p)});
      skipping = false;
    }
    have = static_cast<size_t>(end - p);
    if (have == buf.size()) {
      skipping = true;
      have = 0;
    }
    std::memmove(buf.data(), p, have);
  }
  if (have && !skipping) stat_line(t, {buf.data(), have});
  return std::ferror(f) ? -1 : 0;
}

std::string stat_shown(std::string_view s) {
  std::string v(s);
  for (char &c : v)
    if (const auto u = static_cast<unsigned char>(c); u < 0x20 || u > 0x7e) c = '?';
  return v;
}

namespace {

// A share in percent, never over 100: a log cut short may hold the end of
// a message whose start it lacks.
double share(count n, count of) {
  return 100.0 * static_cast<double>(std::min(n, of)) / static_cast<double>(of);
}

// "      12  40.0%": a count and its share of a total, the share left
// blank where it would say nothing.
std::string cell(count n, count of) {
  char s[64];
  if (n && of)
    std::snprintf(s, sizeof s, "%8lu %5.1f%%", n, share(n, of));
  else
    std::snprintf(s, sizeof s, "%8lu       ", n);
  return s;
}

// A line of the summary, without the blanks an empty share leaves at its end.
__attribute__((format(printf, 2, 3))) void row(FILE *out, const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  const int len = std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  size_t n = std::min<size_t>(static_cast<size_t>(std::max(len, 0)), sizeof line - 1);
  while (n && line[n - 1] == ' ') --n;
  std::fprintf(out, "%.*s\n", static_cast<int>(n), line);
}

// Text from the log as printed, cut to fit its column.
std::string fitted(std::string_view s, size_t width) {
  std::string v = stat_shown(s);
  if (v.size() > width) v = v.substr(0, width - 3) + "...";
  return v;
}

void class_rows(FILE *out, const stat_tally &t, const char *kind,
                const stat_table<count> (&by)[2]) {
  std::set<std::string, std::less<>> names;
  for (const auto &m : by)
    for (const auto &[name, n] : m) names.insert(name);
  for (const std::string &name : names) {
    const auto n = [&](int d) {
      const auto it = by[d].find(name);
      return it == by[d].end() ? 0ul : it->second;
    };
    row(out, "  %-28s%s   %s", (kind + fitted(name, 28 - std::strlen(kind))).c_str(),
        cell(n(inbound), t.classified[inbound]).c_str(),
        cell(n(outbound), t.classified[outbound]).c_str());
  }
}

void most_refused(FILE *out, const stat_tally &t, stat_dir d, const char *what) {
  count all = 0;
  for (const auto &[who, n] : t.refused_by[d]) all += n;
  std::fprintf(out, "\nmost refused: %s (share of %lu %s refusal%s)\n", what, all, dir_names[d],
               all == 1 ? "" : "s");
  if (!all) {
    std::fprintf(out, "  none\n");
    return;
  }
  std::vector<std::pair<std::string, count>> top(t.refused_by[d].begin(), t.refused_by[d].end());
  std::stable_sort(top.begin(), top.end(),
                   [](const auto &a, const auto &b) { return a.second > b.second; });
  if (top.size() > 10) top.resize(10);
  for (const auto &[who, n] : top)
    row(out, "%s  %s", cell(n, all).c_str(), stat_shown(who).c_str());
}

// A label's value as the text format writes it. The sanitising step has
// made every line end '?' already.
std::string label(const char *name, std::string_view v) {
  std::string s = std::string(name) + "=\"";
  for (const char c : stat_shown(v)) {
    if (c == '\\' || c == '"') s += '\\';
    s += c;
  }
  return s + '"';
}

// One counter's samples, printed under its HELP and TYPE lines once there
// are any.
class counter {
public:
  counter(FILE *out, const char *name, const char *help) : out_(out), name_(name), help_(help) {}
  counter(const counter &) = delete;
  counter &operator=(const counter &) = delete;
  ~counter() {
    if (!samples_.empty())
      std::fprintf(out_, "# HELP qmail_zelmd_%s %s\n# TYPE qmail_zelmd_%s counter\n%s", name_,
                   help_, name_, samples_.c_str());
  }
  void put(count n, const std::string &labels = "") {
    samples_ += std::string("qmail_zelmd_") + name_ + (labels.empty() ? "" : "{" + labels + "}") +
                " " + std::to_string(n) + "\n";
  }

private:
  FILE *out_;
  const char *name_, *help_;
  std::string samples_;
};

} // namespace

void stat_summary(const stat_tally &t, FILE *out) {
  std::fprintf(out, "qmail-zelmd: %lu line%s from %lu input%s", t.lines, t.lines == 1 ? "" : "s",
               t.inputs, t.inputs == 1 ? "" : "s");
  if (!t.first_stamp.empty())
    std::fprintf(out, ", %s to %s", stat_shown(t.first_stamp).c_str(),
                 stat_shown(t.last_stamp).c_str());
  std::fprintf(out, "\n");
  if (t.not_understood) std::fprintf(out, "%lu of them not understood\n", t.not_understood);

  std::fprintf(out, "\nclassified (share of the direction's messages)\n%45s%18s\n", "inbound",
               "outbound");
  row(out, "  %-28s%8lu%18lu", "messages", t.classified[inbound], t.classified[outbound]);
  class_rows(out, t, "spam class ", t.spam);
  class_rows(out, t, "virus class ", t.virus);

  std::fprintf(out, "\nrefused by rule (share of the direction's messages)\n%34s%11s%11s%10s%10s\n",
               "", "permanent", "temporary", "share", "tag only");
  if (t.rules.empty()) std::fprintf(out, "  none\n");
  for (const auto &[rule, r] : t.rules) {
    const stat_dir d = rule_dir(rule);
    const count n = r.permanent + r.temporary,
                of =
                    d == any_dir ? t.classified[inbound] + t.classified[outbound] : t.classified[d];
    char shared[16] = "";
    if (n && of) std::snprintf(shared, sizeof shared, "%.1f%%", share(n, of));
    row(out, "  %-32s%11lu%11lu%10s%10lu", fitted(rule, 32).c_str(), r.permanent, r.temporary,
        shared, r.tag_only);
  }
  std::fprintf(out, "\nby policy entry\n%34s%11s%11s%10s\n", "", "permanent", "temporary",
               "tag only");
  if (t.entries.empty()) std::fprintf(out, "  none\n");
  for (const auto &[key, e] : t.entries)
    row(out, "  %-32s%11lu%11lu%10lu", fitted(key, 32).c_str(), e.permanent, e.temporary,
        e.tag_only);

  count unclassified = t.over_size;
  for (int c = 0; c < causes; ++c) unclassified += t.passed[c] + t.refused[c];
  const count seen = t.classified[inbound] + t.classified[outbound] + unclassified;
  std::fprintf(out, "\nnot classified (share of %lu message%s seen)\n%45s%22s\n", seen,
               seen == 1 ? "" : "s", "passed unscanned", "refused for now (71)");
  for (int c = 0; c < causes; ++c)
    if (c != daemon_other || t.passed[c] || t.refused[c])
      row(out, "  %-28s%s       %s", cause_names[c], cell(t.passed[c], seen).c_str(),
          cell(t.refused[c], seen).c_str());
  row(out, "  %-28s%s", "over the size limit", cell(t.over_size, seen).c_str());

  std::fprintf(out, "\nreport copies %lu", t.copies);
  if (t.copies && t.classified[outbound])
    std::fprintf(out, " (%.1f%% of outbound messages)", share(t.copies, t.classified[outbound]));
  std::fprintf(out, "\nquarantined %lu\n", t.quarantined);
  if (t.spool_notes)
    std::fprintf(out, "spool directory unsafe, spooled elsewhere %lu\n", t.spool_notes);

  std::fprintf(out, "\nother ends (by exit code, with the first reason seen)\n");
  if (t.others.empty()) std::fprintf(out, "  none\n");
  for (const auto &[code, o] : t.others)
    std::fprintf(out, "  exit %-4d%7lu  %s\n", code, o.n, fitted(o.example, 60).c_str());

  most_refused(out, t, inbound, "client addresses");
  most_refused(out, t, outbound, "sender identities");
}

void stat_prometheus(const stat_tally &t, FILE *out) {
  const auto dir = [](int d) { return label("direction", dir_names[d]); };
  counter(out, "log_lines_total", "Lines of the filter's read.").put(t.lines);
  counter(out, "log_lines_not_understood_total", "Lines of the filter's in no known form.")
      .put(t.not_understood);
  {
    counter c(out, "classified_total", "Messages the daemon classified.");
    for (int d : {inbound, outbound}) c.put(t.classified[d], dir(d));
  }
  for (const auto &[name, help, by] :
       {std::tuple{"spam_class_total", "Classified messages by spam class.", &t.spam},
        std::tuple{"virus_class_total", "Classified messages by virus class.", &t.virus}}) {
    counter c(out, name, help);
    for (int d : {inbound, outbound})
      for (const auto &[cls, n] : (*by)[d]) c.put(n, dir(d) + "," + label("class", cls));
  }
  {
    counter c(out, "refused_total", "Messages refused by a rule, for good (31) or for now (71).");
    for (const auto &[rule, r] : t.rules)
      for (const auto &[kind, n] :
           {std::pair{"permanent", r.permanent}, {"temporary", r.temporary}})
        if (n)
          c.put(n, dir(rule_dir(rule)) + "," + label("rule", rule) + "," + label("kind", kind));
  }
  {
    counter c(out, "tag_only_total", "Messages a rule would have refused, passed tagged.");
    for (const auto &[rule, r] : t.rules)
      if (r.tag_only) c.put(r.tag_only, dir(rule_dir(rule)) + "," + label("rule", rule));
  }
  {
    counter c(out, "policy_refused_total", "Messages refused by a rule of a policy entry.");
    for (const auto &[key, e] : t.entries)
      for (const auto &[kind, n] :
           {std::pair{"permanent", e.permanent}, {"temporary", e.temporary}})
        if (n) c.put(n, label("entry", key) + "," + label("kind", kind));
  }
  {
    counter c(out, "policy_tag_only_total", "Messages a policy entry's rule passed tagged.");
    for (const auto &[key, e] : t.entries)
      if (e.tag_only) c.put(e.tag_only, label("entry", key));
  }
  {
    counter c(out, "unclassified_total",
              "Messages the daemon could not classify, passed unscanned or refused for now.");
    for (int k = 0; k < causes; ++k) {
      c.put(t.passed[k], label("cause", cause_labels[k]) + "," + label("outcome", "passed"));
      c.put(t.refused[k], label("cause", cause_labels[k]) + "," + label("outcome", "refused"));
    }
  }
  counter(out, "over_size_total", "Messages passed unscanned over the size limit.")
      .put(t.over_size);
  counter(out, "report_copies_total", "Report copies of flagged senders' mail.").put(t.copies);
  counter(out, "quarantined_total", "Refused messages kept in quarantine.").put(t.quarantined);
  counter(out, "spooled_elsewhere_total", "Runs whose spool directory was unsafe.")
      .put(t.spool_notes);
  {
    counter c(out, "other_ends_total", "Other ends with a code other than 0, by code.");
    for (const auto &[code, o] : t.others) c.put(o.n, label("code", std::to_string(code)));
  }
}
