// qmail-zelmd-stat: reads the filter's log lines out of syslog files,
// multilog files or journalctl output, skipping every other program's, and
// prints what became of the mail: classes, refusals by rule, messages not
// classified by cause, report copies, other ends and the clients and
// senders refused most. Exit 0, 1 when an input could not be read (after
// the summary of the others), 2 for a bad argument.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using count = unsigned long;
enum dir : int { inbound, outbound };
enum cause : int { unreachable, timed_out, error_status, unusable, daemon_other, causes };
constexpr const char *cause_names[causes] = {"daemon unreachable", "time-out", "error status",
                                             "unusable answer", "other daemon trouble"};

struct rule_count {
  count permanent = 0, temporary = 0;
};

struct other_end {
  count n = 0;
  std::string example; // the first reason seen with this code
};

// What a run logged so far that a later line of the same pid needs.
struct run_state {
  std::string sender; // SenderID of the OUT line; empty when none
  bool unusable_pending = false;
  count line = 0; // the line that made it
};

struct tally {
  count lines = 0, inputs = 0, not_understood = 0;
  std::string first_stamp, last_stamp;
  count classified[2] = {};
  std::map<std::string, count> spam[2], virus[2];
  std::map<std::string, rule_count> rules;
  count passed[causes] = {}, refused[causes] = {};
  count copies = 0, spool_notes = 0;
  std::map<int, other_end> others;
  std::map<std::string, count> refused_by[2];
  std::map<unsigned long, run_state> runs;
  size_t sweep_at = 1 << 16;
};

// The state of pid's run, made anew. A run that passes logs no end, so
// its state would stay for ever: once there are many, those made long ago
// go; a run's lines lie seconds apart.
run_state &new_run(tally &t, unsigned long pid) {
  if (t.runs.size() >= t.sweep_at) {
    std::erase_if(t.runs, [&](const auto &r) { return t.lines - r.second.line > 1 << 16; });
    t.sweep_at = std::max<size_t>(1 << 16, 2 * t.runs.size());
  }
  run_state &r = t.runs[pid];
  r = {.sender = "", .unusable_pending = false, .line = t.lines};
  return r;
}

bool digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "Dec  8 11:04:12" (or "Dec 08": journalctl) or "2024-12-08T11:04:12"
// somewhere in front of the filter's tag; empty when there is none.
std::string stamp_in(std::string_view head) {
  static constexpr std::string_view months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const auto at = [&](size_t i, std::string_view shape) {
    if (i + shape.size() > head.size()) return false;
    for (size_t k = 0; k < shape.size(); ++k) {
      const char c = head[i + k];
      if (shape[k] == '9' ? c < '0' || c > '9' : c != shape[k]) return false;
    }
    return true;
  };
  for (size_t i = 0; i + 15 <= head.size(); ++i) {
    if (at(i, "9999-99-99T99:99:99")) return std::string(head.substr(i, 19));
    const size_t m = months.find(head.substr(i, 3));
    if (m == std::string_view::npos || m % 3 || head[i + 3] != ' ' ||
        !(at(i + 4, "99 99:99:99") || at(i + 4, " 9 99:99:99")))
      continue;
    std::string s(head.substr(i, 15));
    if (s[4] == '0') s[4] = ' ';
    return s;
  }
  return "";
}

// The value after the last name in line, which is cut there. Taken from
// the right: the daemon's values come last and the client's sender first,
// so odd text in the sender cannot move them.
std::string_view field_before(std::string_view &line, std::string_view name) {
  const size_t at = line.rfind(name);
  if (at == std::string_view::npos) return {};
  std::string_view v = line.substr(at + name.size());
  line = line.substr(0, at);
  return v;
}

void classified(tally &t, dir d, std::string_view text, run_state &run) {
  std::string_view rest = text;
  if (d == outbound) {
    // The long form ends in the sender's counts; the identity comes before them.
    if (rest.ends_with(", SenderID: N/A")) {
      rest.remove_suffix(15);
    } else {
      field_before(rest, ", Flags: ");
      run.sender = field_before(rest, ", SenderID: ");
    }
  }
  field_before(rest, ", RefID: ");
  const std::string_view virus = field_before(rest, ", vClass: ");
  const std::string_view spam = field_before(rest, ", sClass: ");
  if (rest.find(", From: ") == std::string_view::npos) {
    ++t.not_understood;
    return;
  }
  ++t.classified[d];
  ++t.spam[d][spam.empty() ? "(empty)" : std::string(spam)];
  ++t.virus[d][virus.empty() ? "(empty)" : std::string(virus)];
}

// The cause of a daemon failure: "daemon <host>:<port>[ (<address>)]: ...".
cause cause_of(std::string_view reason) {
  if (!reason.starts_with("daemon ")) return daemon_other;
  const size_t colon = reason.find(": ");
  if (colon == std::string_view::npos) return daemon_other;
  const std::string_view why = reason.substr(colon + 2);
  if (why.find("time-out after") != std::string_view::npos) return timed_out;
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
void ended(tally &t, std::string_view ip, std::string_view reason, int code, run_state *run) {
  // A custom reply stands for the refusal it replaced: D permanent, Z temporary.
  const size_t replied = reason.find("; replied \"");
  if (code == 82 && replied != std::string_view::npos && replied + 11 < reason.size()) {
    const char kind = reason[replied + 11];
    if (kind == 'D' || kind == 'Z') {
      code = kind == 'D' ? 31 : 71;
      reason = reason.substr(0, replied);
    }
  }
  constexpr std::string_view rule_prefix = "refused by control/";
  if (reason.starts_with(rule_prefix) && reason.find(' ', rule_prefix.size()) == reason.npos &&
      (code == 31 || code == 71)) {
    const std::string rule(reason.substr(rule_prefix.size()));
    rule_count &r = t.rules[rule];
    ++(code == 31 ? r.permanent : r.temporary);
    // Thresholds are outbound only; class rules say their direction.
    const dir d = rule.starts_with("zelmd_onsession_in_") ? inbound : outbound;
    const bool by_sender = d == outbound && run && !run->sender.empty();
    ++t.refused_by[d][by_sender ? run->sender : std::string(ip)];
  } else if (reason.starts_with("daemon ") && code == 71) {
    const cause c = cause_of(reason);
    if (c == unusable && run && run->unusable_pending) --t.passed[unusable];
    ++t.refused[c];
  } else {
    other_end &o = t.others[code];
    if (!o.n++) o.example = reason;
  }
}

// The code of a reason that ends in " (exit N)", cutting that off; -1
// when it does not.
int exit_code(std::string_view &reason) {
  const size_t at = reason.rfind(" (exit ");
  if (at == std::string_view::npos || !reason.ends_with(")")) return -1;
  const std::string_view n = reason.substr(at + 7, reason.size() - at - 8);
  if (!digits(n) || n.size() > 3) return -1;
  reason = reason.substr(0, at);
  return std::atoi(std::string(n).c_str());
}

void filter_line(tally &t, unsigned long pid, std::string_view text) {
  if (text.starts_with("IN  IP: ")) return classified(t, inbound, text, new_run(t, pid));
  if (text.starts_with("OUT IP: ")) return classified(t, outbound, text, new_run(t, pid));
  if (text.starts_with("COPY IP: ")) {
    ++t.copies;
    return;
  }
  const size_t dash = text.find(" - ");
  if (!text.starts_with("IP: ") || dash == std::string_view::npos) {
    ++t.not_understood;
    return;
  }
  const std::string_view ip = text.substr(4, dash - 4);
  std::string_view reason = text.substr(dash + 3);
  const auto found = t.runs.find(pid);
  run_state *run = found == t.runs.end() ? nullptr : &found->second;
  if (reason == "unable to processes response") {
    // Passed, unless the reason line of a 71 follows.
    ++t.passed[unusable];
    new_run(t, pid).unusable_pending = true;
  } else if (reason.ends_with(" (passed unscanned)")) {
    reason.remove_suffix(19);
    ++t.passed[cause_of(reason)];
  } else if (const int code = exit_code(reason); code >= 0) {
    ended(t, ip, reason, code, run);
    if (run) t.runs.erase(found);
  } else if (reason.find("; spooled in ") != std::string_view::npos && reason.ends_with(")")) {
    ++t.spool_notes;
  } else {
    ++t.not_understood;
  }
}

// The filter's tag: "qmail-zelmd[<digits>]: "; other lines are skipped.
void read_line(tally &t, std::string_view line) {
  constexpr std::string_view tag = "qmail-zelmd[";
  for (size_t at = line.find(tag); at != std::string_view::npos; at = line.find(tag, at + 1)) {
    const size_t open = at + tag.size();
    const size_t close = line.find("]: ", open);
    if (close == std::string_view::npos || !digits(line.substr(open, close - open)) ||
        close - open > 10)
      continue;
    ++t.lines;
    if (const std::string s = stamp_in(line.substr(0, at)); !s.empty()) {
      if (t.first_stamp.empty()) t.first_stamp = s;
      t.last_stamp = s;
    }
    const unsigned long pid =
        std::strtoul(std::string(line.substr(open, close - open)).c_str(), nullptr, 10);
    filter_line(t, pid, line.substr(close + 3));
    return;
  }
}

// 0, or -1 with a line on stderr.
int read_input(tally &t, const char *name) {
  const bool std_in = !std::strcmp(name, "-");
  FILE *f = std_in ? stdin : std::fopen(name, "r");
  if (!f) {
    std::fprintf(stderr, "qmail-zelmd-stat: cannot read %s: %s\n", name, std::strerror(errno));
    return -1;
  }
  char *buf = nullptr;
  size_t size = 0;
  ssize_t n;
  while ((n = getline(&buf, &size, f)) > 0) {
    std::string_view line(buf, static_cast<size_t>(n));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    read_line(t, line);
  }
  std::free(buf);
  const int e = errno;
  const bool failed = std::ferror(f);
  if (!std_in) std::fclose(f);
  if (failed) {
    std::fprintf(stderr, "qmail-zelmd-stat: cannot read %s: %s\n", std_in ? "standard input" : name,
                 std::strerror(e));
    return -1;
  }
  ++t.inputs;
  return 0;
}

// "      12  40.0%": a count and its share of a total, the share left
// blank where it would say nothing.
std::string cell(count n, count of) {
  char s[64];
  if (n && of)
    std::snprintf(s, sizeof s, "%8lu %5.1f%%", n, 100.0 * static_cast<double>(n) / of);
  else
    std::snprintf(s, sizeof s, "%8lu       ", n);
  return s;
}

// A line of the summary, without the blanks an empty share leaves at its end.
__attribute__((format(printf, 1, 2))) void row(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  size_t n = std::strlen(line);
  while (n && line[n - 1] == ' ') --n;
  std::printf("%.*s\n", static_cast<int>(n), line);
}

// Names from the log cut to fit their column.
std::string fitted(std::string_view s, size_t width) {
  if (s.size() <= width) return std::string(s);
  return std::string(s.substr(0, width - 3)) + "...";
}

void class_rows(const tally &t, const char *kind, const std::map<std::string, count> (&by)[2]) {
  std::set<std::string> names;
  for (const auto &m : by)
    for (const auto &[name, n] : m) names.insert(name);
  for (const std::string &name : names) {
    const auto n = [&](int d) {
      const auto it = by[d].find(name);
      return it == by[d].end() ? 0ul : it->second;
    };
    row("  %-28s%s   %s", (kind + fitted(name, 28 - std::strlen(kind))).c_str(),
        cell(n(inbound), t.classified[inbound]).c_str(),
        cell(n(outbound), t.classified[outbound]).c_str());
  }
}

void most_refused(const tally &t, dir d, const char *what) {
  count all = 0;
  for (const auto &[who, n] : t.refused_by[d]) all += n;
  std::printf("\nmost refused: %s (share of %lu %s refusal%s)\n", what, all,
              d == inbound ? "inbound" : "outbound", all == 1 ? "" : "s");
  if (!all) {
    std::printf("  none\n");
    return;
  }
  std::vector<std::pair<std::string, count>> top(t.refused_by[d].begin(), t.refused_by[d].end());
  std::stable_sort(top.begin(), top.end(),
                   [](const auto &a, const auto &b) { return a.second > b.second; });
  if (top.size() > 10) top.resize(10);
  for (const auto &[who, n] : top) row("%s  %s", cell(n, all).c_str(), who.c_str());
}

void summary(const tally &t) {
  std::printf("qmail-zelmd: %lu line%s from %lu input%s", t.lines, t.lines == 1 ? "" : "s",
              t.inputs, t.inputs == 1 ? "" : "s");
  if (!t.first_stamp.empty())
    std::printf(", %s to %s", t.first_stamp.c_str(), t.last_stamp.c_str());
  std::printf("\n");
  if (t.not_understood) std::printf("%lu of them not understood\n", t.not_understood);

  std::printf("\nclassified (share of the direction's messages)\n%45s%18s\n", "inbound",
              "outbound");
  row("  %-28s%8lu%18lu", "messages", t.classified[inbound], t.classified[outbound]);
  class_rows(t, "spam class ", t.spam);
  class_rows(t, "virus class ", t.virus);

  std::printf("\nrefused by rule (share of the direction's messages)\n%34s%11s%11s%10s\n", "",
              "permanent", "temporary", "share");
  if (t.rules.empty()) std::printf("  none\n");
  for (const auto &[rule, r] : t.rules) {
    const dir d = rule.starts_with("zelmd_onsession_in_") ? inbound : outbound;
    const count n = r.permanent + r.temporary;
    char share[16] = "";
    if (t.classified[d]) std::snprintf(share, sizeof share, "%.1f%%", 100.0 * n / t.classified[d]);
    std::printf("  %-32s%11lu%11lu%10s\n", fitted(rule, 32).c_str(), r.permanent, r.temporary,
                share);
  }

  count unclassified = 0;
  for (int c = 0; c < causes; ++c) unclassified += t.passed[c] + t.refused[c];
  const count seen = t.classified[inbound] + t.classified[outbound] + unclassified;
  std::printf("\nnot classified (share of %lu message%s seen)\n%45s%22s\n", seen,
              seen == 1 ? "" : "s", "passed unscanned", "refused for now (71)");
  for (int c = 0; c < causes; ++c)
    if (c != daemon_other || t.passed[c] || t.refused[c])
      row("  %-28s%s       %s", cause_names[c], cell(t.passed[c], seen).c_str(),
          cell(t.refused[c], seen).c_str());

  std::printf("\nreport copies %lu", t.copies);
  if (t.copies && t.classified[outbound])
    std::printf(" (%.1f%% of outbound messages)", 100.0 * t.copies / t.classified[outbound]);
  std::printf("\n");
  if (t.spool_notes) std::printf("spool directory unsafe, spooled elsewhere %lu\n", t.spool_notes);

  std::printf("\nother ends (by exit code, with the first reason seen)\n");
  if (t.others.empty()) std::printf("  none\n");
  for (const auto &[code, o] : t.others)
    std::printf("  exit %-4d%7lu  %s\n", code, o.n, fitted(o.example, 60).c_str());

  most_refused(t, inbound, "client addresses");
  most_refused(t, outbound, "sender identities");
}

} // namespace

int main(int argc, char **argv) {
  std::vector<const char *> inputs;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    if (options && !std::strcmp(argv[i], "--")) {
      options = false;
    } else if (options && argv[i][0] == '-' && argv[i][1]) {
      std::fprintf(stderr, "usage: qmail-zelmd-stat [file ...]\n");
      return 2;
    } else {
      inputs.push_back(argv[i]);
    }
  }
  if (inputs.empty()) inputs.push_back("-");
  static tally t;
  int status = 0;
  for (const char *name : inputs)
    if (read_input(t, name)) status = 1;
  summary(t);
  return status;
}
