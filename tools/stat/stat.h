#ifndef STAT_H
#define STAT_H

// The filter's log summed up: the counts, the reader that fills them from
// log lines, and the two ways of printing them.
#include <cstddef>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <string_view>

using stat_count = unsigned long;
enum stat_dir : int { inbound, outbound, any_dir };
enum stat_cause : int { unreachable, timed_out, error_status, unusable, daemon_other, causes };

// A hostile log may name without end: each table keeps this many names
// (of at most stat_name_max bytes) and counts the rest under "(others)".
constexpr size_t stat_names_kept = 10000, stat_name_max = 200;
// Longer lines are skipped: the filter's are far shorter.
constexpr size_t stat_line_max = 1 << 16;

template <class V> using stat_table = std::map<std::string, V, std::less<>>;

struct stat_rule {
  stat_count permanent = 0, temporary = 0, tag_only = 0;
};

struct stat_other_end {
  stat_count n = 0;
  std::string example; // the first reason seen with this code
};

// What a run logged so far that a later line of the same pid needs.
struct stat_run {
  std::string sender; // SenderID of the OUT line; empty when none
  int dir = -1;       // of its classification line; -1: none seen
  bool unusable_pending = false;
  stat_count line = 0; // the line that made it
};

struct stat_tally {
  stat_count lines = 0, inputs = 0, not_understood = 0;
  std::string first_stamp, last_stamp;
  stat_count classified[2] = {};
  stat_table<stat_count> spam[2], virus[2];
  stat_table<stat_rule> rules;   // control file, or "zelmd_policy <setting>"
  stat_table<stat_rule> entries; // policy entries' keys
  stat_count passed[causes] = {}, refused[causes] = {};
  stat_count over_size = 0, copies = 0, quarantined = 0, spool_notes = 0;
  std::map<int, stat_other_end> others;
  stat_table<stat_count> refused_by[2];
  std::map<unsigned long, stat_run> runs;
  size_t sweep_at = 1 << 16;
};

// A line of the filter's, taken apart.
struct stat_tagged {
  unsigned long pid = 0;
  std::string stamp; // as shown; empty when the line has none
  std::string_view text;
};

// 1 when the filter's tag "qmail-zelmd[pid]: " stands where a known log
// form puts the program's tag: a syslog file or journalctl, a datagram as
// read off /dev/log, a multilog (or socklog) file stamped in TAI64N or
// through tai64nlocal. 0 for any other line.
int stat_tag(std::string_view line, stat_tagged &out);
// Counts one line of a log.
void stat_line(stat_tally &t, std::string_view line);
// Counts every line of f: 0, or -1 with errno when reading failed.
int stat_read(stat_tally &t, FILE *f);
// s as it may be printed: control bytes and bytes above 126 made '?'.
std::string stat_shown(std::string_view s);
void stat_summary(const stat_tally &t, FILE *out);
// The counts in the text format of Prometheus' node_exporter.
void stat_prometheus(const stat_tally &t, FILE *out);

#endif
