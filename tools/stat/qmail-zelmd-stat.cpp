// qmail-zelmd-stat: reads the filter's log lines out of syslog files,
// multilog files or journalctl output, skipping every other program's, and
// prints what became of the mail: classes, refusals by rule and by policy
// entry, messages not classified by cause, report copies, quarantined
// messages, other ends and the clients and senders refused most; or, with
// --prometheus, the counts for node_exporter. Exit 0, 1 when an input could
// not be read (after the summary of the others), 2 for a bad argument.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "stat.h"

namespace {

// 0, or -1 with a line on stderr.
int read_input(stat_tally &t, const char *name) {
  const bool std_in = !std::strcmp(name, "-");
  FILE *f = std_in ? stdin : std::fopen(name, "r");
  if (!f) {
    std::fprintf(stderr, "qmail-zelmd-stat: cannot read %s: %s\n", name, std::strerror(errno));
    return -1;
  }
  const int r = stat_read(t, f);
  const int e = errno;
  if (!std_in) std::fclose(f);
  if (r) {
    std::fprintf(stderr, "qmail-zelmd-stat: cannot read %s: %s\n", std_in ? "standard input" : name,
                 std::strerror(e));
    return -1;
  }
  ++t.inputs;
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<const char *> inputs;
  bool options = true, prometheus = false;
  for (int i = 1; i < argc; ++i) {
    if (options && !std::strcmp(argv[i], "--")) {
      options = false;
    } else if (options && !std::strcmp(argv[i], "--prometheus")) {
      prometheus = true;
    } else if (options && argv[i][0] == '-' && argv[i][1]) {
      std::fprintf(stderr, "usage: qmail-zelmd-stat [--prometheus] [file ...]\n");
      return 2;
    } else {
      inputs.push_back(argv[i]);
    }
  }
  if (inputs.empty()) inputs.push_back("-");
  static stat_tally t;
  int status = 0;
  for (const char *name : inputs)
    if (read_input(t, name)) status = 1;
  (prometheus ? stat_prometheus : stat_summary)(t, stdout);
  return status;
}
