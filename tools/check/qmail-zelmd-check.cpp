// qmail-zelmd-check: reads the control files with the filter's own code,
// checks as the user it runs as what the filter will need, and asks the
// daemon of every direction that classifies what it says about a clean
// and a GTUBE message, as the filter asks. Exit 0 when nothing is wrong,
// 1 when anything is.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "auto_qmail.h"
#include "byte.h"
#include "classify.h"
#include "control.h"
#include "decide.h"
#include "die.h"
#include "exitcode.h"
#include "fd.h"
#include "intake.h"
#include "log.h"
#include "policy.h"
#include "policy_file.h"
#include "reply.h"
#include "scan.h"
#include "setup.h"
#include "spool.h"
#include "str.h"
#include "zelmd_response.h"

namespace {
std::vector<std::string> problems;
bool spool_failed; // the spool directory breaks the filter's rules

// What outbound probes give as client and sender identity: a name no SMTP
// client can have, so that a daemon that counts per sender never counts a
// probe against a real one.
constexpr char PROBE_SENDER[] = "qmail-zelmd-check.invalid";
constexpr char GTUBE[] = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

__attribute__((format(printf, 1, 2))) void problem(const char *fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  problems.push_back(line);
}

// A value as a human should see it: control bytes spelled out.
std::string shown(std::string_view v) {
  std::string s;
  for (const char c : v) {
    if (c == '\r')
      s += "\\r";
    else if (c == '\t')
      s += "\\t";
    else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      s += '?';
    else
      s += c;
  }
  return s;
}

std::string text_of(const stralloc &sa) { return std::string(stralloc_view(&sa)); }

// Where a human would read the file's first line (raw, when the file is
// there) differently from the filter, or the filter cannot use it; empty
// when all is well.
std::string doubt(const control_setting &c, int result, const stralloc *line, int value) {
  using kind = setting_kind;
  if (result == -1)
    return c.kind == kind::text
               ? "cannot be read: the filter refuses every message with 451 (exit 1); let "
                 "the SMTP user read it"
               : "cannot be read: the filter uses the default; let the SMTP user read it";
  if (!line) return "";
  const std::string raw = text_of(*line);
  if (c.kind == kind::text) {
    if (raw.find('\r') != std::string::npos)
      return "holds a carriage return, which the filter keeps in the value; write the file "
             "without CR";
    if (raw.empty() && c.text_default[0])
      return "is empty: the filter uses an empty value, not the default";
    return "";
  }
  if (raw.empty() || raw[0] < '0' || raw[0] > '9')
    return "\"" + shown(raw) + "\" is not a number: the filter uses the default " +
           std::to_string(c.number_default) + "; write a number such as 0 or 1";
  uint64_t u;
  const uint32_t digits = scan_ulong(std::string(raw).c_str(), &u);
  if (digits < raw.size())
    return "text after the number (\"" + shown(raw.substr(digits)) +
           "\") is ignored; leave the number alone on the line";
  if (u > 0x7fffffff)
    return "out of range: the filter reads " + std::to_string(value) +
           "; write a number below 2147483648";
  // Switches act on exactly 1 (a level classifies at any value but 0),
  // actions on 1 and 2.
  if ((c.kind == kind::toggle || c.kind == kind::level) && value > 1)
    return std::to_string(value) + " is not 1: the filter acts only on exactly 1" +
           (c.kind == kind::level ? std::string(" (it classifies, but without the features of 1)")
                                  : std::string());
  if (c.kind == kind::action && value > 2)
    return std::to_string(value) + " is no action: only 1 (refuse with 71) and 2 (31) act";
  return "";
}

void show_controls(settings *s) {
  std::printf("%-44s %-24s %s\n", "control file", "value", "from");
  stralloc me = {};
  const int r = control_readline(&me, "control/me");
  std::printf("%-44s %-24s %s\n", "control/me", r == 1 ? shown(text_of(me)).c_str() : "-",
              r == 1   ? "file"
              : r == 0 ? "missing"
                       : "unreadable");
  if (r == -1)
    problem("control/me cannot be read: the filter refuses every message with 451 (exit 1); let "
            "the SMTP user read it");
  for (const control_setting &c : control_settings) {
    // The value as the filter's reader gives it, the line as the file has it.
    const int result = setting_read(c, s);
    stralloc line = {};
    const int raw = control_readline(&line, c.file);
    const int value = c.number ? c.number(*s) : 0;
    const std::string shown_value = c.text ? shown(text_of(c.text(*s))) : std::to_string(value);
    const char *from = result == -1 || raw == -1 ? "unreadable" : raw == 1 ? "file" : "default";
    const std::string why = doubt(c, result, raw == 1 ? &line : nullptr, value);
    std::printf("%-44s %-24s %s%s%s\n", c.file, shown_value.c_str(), from,
                why.empty() ? "" : "  ! ", why.c_str());
    if (!why.empty()) problem("%s %s", c.file, why.c_str());
  }
}

// The queue program is started in the qmail home, as the filter's child
// starts it.
void check_queue_program(const settings &s) {
  const std::string q = text_of(s.zelmd_queue_binary);
  const std::string path = !q.empty() && q[0] == '/' ? q : std::string(auto_qmail) + "/" + q;
  struct stat st;
  if (stat(path.c_str(), &st) == -1) {
    std::printf("queue program    %s: %s\n", path.c_str(), std::strerror(errno));
    problem("queue program %s: %s; fix control/zelmd_queue_binary", path.c_str(),
            std::strerror(errno));
  } else if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) == -1) {
    std::printf("queue program    %s: not an executable file\n", path.c_str());
    problem("queue program %s is not an executable file: every message would get 451 (exit 120)",
            path.c_str());
  } else {
    std::printf("queue program    %s: executable\n", path.c_str());
  }
}

bool localhost_daemon(const settings &s) {
  for (const direction_settings *d : {&s.in, &s.out})
    if (d->zelmd_check && zelmd_reads_files(stralloc_view(&d->zelmd_host))) return true;
  return false;
}

// The longest process id this system hands out: the working directory
// named after it must fit as well.
long longest_pid() {
  long max = 4194304;
  if (FILE *f = std::fopen("/proc/sys/kernel/pid_max", "r")) {
    if (std::fscanf(f, "%ld", &max) != 1) max = 4194304;
    std::fclose(f);
  }
  return max - 1;
}

// The spool directory judged by the filter's own rules. What happens to a
// large message when it fails them depends on whether a daemon reads the
// spool files by their names.
void check_spool_dir(const settings &s) {
  const std::string d = text_of(s.zelmd_spool_dir);
  std::printf("spool directory  %s: ", d.c_str());
  char workdir[128];
  const char *why = spool_dir_name(d.c_str(), longest_pid(), workdir);
  struct stat st = {};
  if (!why && lstat(d.c_str(), &st) == -1 && errno == ENOENT) {
    std::printf("%s (the filter makes it with mode 755)\n", std::strerror(errno));
    return;
  }
  if (!why) why = spool_dir_unsafe(d.c_str());
  if (!why && access(d.c_str(), W_OK | X_OK) == -1) why = "not writable";
  if (!why) {
    std::printf("ok, mode %o\n", static_cast<unsigned>(st.st_mode & 07777));
    if (localhost_daemon(s) && !(st.st_mode & S_ISGID))
      std::printf("                 a daemon on localhost reads spool files by their path: make "
                  "the directory set-group-id to a group of the daemon's user, mode 2750\n");
    return;
  }
  std::printf("%s\n", why);
  problem("spool directory %s: %s: messages of 32000 bytes or more would %s; make it a "
          "directory of the SMTP user, mode 2750 (or 755), or name one in "
          "control/zelmd_spool_dir",
          d.c_str(), why,
          localhost_daemon(s)
              ? "be spooled in a private directory under /tmp and sent inline (the daemon on "
                "localhost cannot read them there), with a log line each"
              : "be spooled in a private directory under /tmp, with a log line each");
  spool_failed = true;
}

// Whether the process that made a working directory still runs; one of
// another user's counts as running.
bool running(const char *digits) {
  uint64_t pid;
  const uint32_t n = scan_ulong(digits, &pid);
  if (!n || pid > 0x7fffffff) return true;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Working directories of filters that are gone: only a filter killed with
// SIGKILL leaves one. In the spool directory they are named after the pid,
// under /tmp (private ones) "qmail-zelmd.<pid>.XXXXXX".
void check_leftovers(const settings &s) {
  std::vector<std::string> left;
  const std::string spool = text_of(s.zelmd_spool_dir);
  if (DIR *d = opendir(spool.c_str())) {
    while (const dirent *e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.find_first_not_of("0123456789") == std::string::npos && !running(e->d_name))
        left.push_back(spool + "/" + name + "/");
    }
    closedir(d);
  }
  if (DIR *d = opendir("/tmp")) {
    constexpr std::string_view prefix = "qmail-zelmd.";
    while (const dirent *e = readdir(d)) {
      const std::string_view name = e->d_name;
      if (name.starts_with(prefix) && name.size() > prefix.size() &&
          name[prefix.size()] >= '0' && name[prefix.size()] <= '9' &&
          !running(e->d_name + prefix.size()))
        left.push_back("/tmp/" + std::string(name) + "/");
    }
    closedir(d);
  }
  if (left.empty()) return;
  for (const std::string &l : left) {
    std::printf("left behind      %s: its filter is gone (killed)\n", l.c_str());
    problem("spool directory %s was left by a filter that was killed; remove it (rm -rf %s), "
            "or let the clean-up line of the README do it",
            l.c_str(), l.c_str());
  }
}

// A folder the filter keeps copies of mail in, for the user it runs as:
// shown, and null when it is fit, else what is wrong.
const char *folder_trouble(const char *what, const std::string &path) {
  std::printf("%-16s %s: ", what, path.c_str());
  struct stat st;
  const char *why = nullptr;
  if (stat(path.c_str(), &st) == -1)
    why = std::strerror(errno);
  else if (!S_ISDIR(st.st_mode))
    why = "not a directory";
  else if (access(path.c_str(), W_OK | X_OK) == -1)
    why = "not writable";
  else if (st.st_mode & S_IROTH)
    why = "readable by others";
  std::printf("%s\n", why ? why : "ok");
  return why;
}

void check_report_folder(const settings &s) {
  const std::string f = text_of(s.zelmd_report_imap_folder);
  const char *why = folder_trouble("report folder", f);
  // Copies are made only for outbound mail with the switch at exactly 1.
  if (!why || s.out.zelmd_check != 1) return;
  if (!str_diff(why, "readable by others"))
    problem("report folder %s is readable by others: every local user could read the copies of "
            "mail; chmod o-rwx it",
            f.c_str());
  else
    problem("report folder %s: %s: copies of flagged senders' mail would fail with 451 (exit 71); "
            "mkdir -m 700 it, owned by the SMTP user",
            f.c_str(), why);
}

// The compiled policy as the filter opens it, and its text not newer than
// what was compiled of it.
void check_policy(settings *s) {
  failure f = {};
  std::printf("policy           %s: ", POLICY_CDB);
  if (setup_policy(s, &f)) {
    std::printf("%s\n", f.reason);
    problem("%s: every message would get 451 (exit 71)", f.reason);
    return;
  }
  struct stat text, cdb;
  const bool has_text = stat("control/zelmd_policy", &text) == 0;
  if (s->policy.fd < 0) {
    std::printf("none, the control files alone\n");
    if (has_text)
      problem("control/zelmd_policy is not compiled: the filter uses none of its entries; run "
              "qmail-zelmd-policy");
    return;
  }
  std::printf("compiled\n");
  if (has_text && stat(POLICY_CDB, &cdb) == 0 &&
      (text.st_mtim.tv_sec > cdb.st_mtim.tv_sec ||
       (text.st_mtim.tv_sec == cdb.st_mtim.tv_sec && text.st_mtim.tv_nsec > cdb.st_mtim.tv_nsec)))
    problem("control/zelmd_policy is newer than %s: the filter uses the entries compiled "
            "before; run qmail-zelmd-policy",
            POLICY_CDB);
}

// Whether any setting can keep a message: the control file, or an entry.
bool quarantine_used(const settings &s) {
  if (s.zelmd_quarantine == 1) return true;
  struct cdb c;
  const fd_owner fd(open(POLICY_CDB, O_RDONLY | O_CLOEXEC));
  if (!fd.ok() || cdb_init(&c, fd.get()) < 0) return false;
  bool used = false;
  unsigned pos;
  cdb_seqinit(&pos, &c);
  while (!used && cdb_seqnext(&pos, &c) > 0) {
    rule_set r = {};
    const std::string_view value(static_cast<const char *>(cdb_getdata(&c)), cdb_datalen(&c));
    used = policy_decode(value, &r) == 0 && r.quarantine == 1;
  }
  cdb_free(&c);
  return used;
}

void check_quarantine_folder(const settings &s) {
  const std::string q = text_of(s.zelmd_quarantine_dir);
  const char *why = folder_trouble("quarantine", q);
  if (!why || !quarantine_used(s)) return;
  problem("quarantine folder %s: %s: a message refused by a rule under quarantine 1 would get "
          "451 (exit 71) instead%s; mkdir -m 700 it, owned by the SMTP user",
          q.c_str(), why, std::strcmp(why, "readable by others") ? "" : " (it would be kept)");
}

// The settings one address gets: the entry it matches, and each setting
// with where it comes from.
void show_settings(const settings &s, direction dir, std::string_view address) {
  rule_set r = rules_of(s, dir);
  const int found =
      policy_find(s.policy, address, dir == direction::outbound, &r);
  std::printf("%s %s: ", dir == direction::outbound ? "sender   " : "recipient",
              shown(address).c_str());
  if (found == -1) {
    std::printf("a corrupt entry\n");
    problem("%s: a corrupt entry; run qmail-zelmd-policy", POLICY_CDB);
    return;
  }
  if (found)
    std::printf("entry %s of control/zelmd_policy\n", shown(r.entry).c_str());
  else
    std::printf("no entry, the control files alone\n");
  for (size_t k = 0; k < POLICY_SETTINGS; ++k) {
    const policy_setting &p = policy_settings[k];
    const std::string value =
        p.text ? "\"" + shown(r.*p.text) + "\"" : std::to_string(r.*p.number);
    std::printf("                 %-13s %-20s %s\n", p.name, value.c_str(),
                r.from_entry >> k & 1 ? "entry" : "control file");
  }
}

void show_entries(const settings &s, const envelope &e) {
  std::printf("\n");
  for (uint32_t i = 0; i < e.recipient_count; ++i)
    show_settings(s, direction::inbound, e.recipients[i]);
  show_settings(s, direction::outbound, e.sender);
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void show_answer(const char *answer) {
  for (const char *p = answer; *p;) {
    const char *end = std::strchr(p, '\n');
    const size_t n = end ? static_cast<size_t>(end - p) : str_len(p);
    std::string line(p, n);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("X-ZELM-")) std::printf("                   %s\n", shown(line).c_str());
    p += n + (end ? 1 : 0);
  }
}

// One probe of a direction: the client of its kind, the envelope of a
// probe, and what applies to its messages.
struct probe {
  const settings &s;
  const char *dir;
  client c;
  envelope e;
};

// The filter's own message value, made anew for every probe.
message m;

// The plan as the check shows it.
std::string plan_words(const plan &pl) {
  std::string w;
  switch (pl.kind) {
  case plan_kind::untouched: w = "pass untouched"; break;
  case plan_kind::unscanned: w = "pass unscanned"; break;
  case plan_kind::stamped: w = "pass and stamp"; break;
  case plan_kind::refused:
    w = "refuse " + std::to_string(pl.code);
    if (pl.rule[0]) w += std::string(" (") + pl.rule + ")";
    break;
  }
  if (pl.tagged) w += std::string(", tag only: would be refused by ") + pl.rule;
  if (pl.keep) w += ", kept in quarantine";
  if (pl.report) w += ", report copy";
  return w;
}

// What becomes of every message of the direction under that plan.
std::string consequence(const plan &pl, bool usable) {
  switch (pl.kind) {
  case plan_kind::refused:
    return pl.code == exit_perm ? "get 554 (exit 31)" : "get 451 (exit 71)";
  case plan_kind::unscanned: return "pass unscanned";
  case plan_kind::stamped:
    return usable ? "pass stamped" : "pass stamped with the lines it holds, the others empty";
  case plan_kind::untouched: break;
  }
  return "pass untouched";
}

// What an SMTP client would be told of a refusal, with the setting as it is.
void show_reply(const plan &pl) {
  char reply[320];
  smtp_reply(reply, sizeof reply, pl.custom_reply, pl.why, pl.refid);
  std::printf("                 the client is told: %s\n", reply);
  if (pl.custom_reply)
    std::printf("                 (control/zelmd_custom_reply is 1: needs a qmail-smtpd that reads "
                "descriptor 6, such as notqmail 1.08 or later; others say \"451 mail server "
                "temporarily rejected message (#4.3.0)\" or \"554 mail server permanently "
                "rejected message (#5.3.0)\")\n");
}

// What the filter would make of one probe's request, decided as the
// filter decides it: shown, and 0 when the daemon answered usably.
int report_probe(const probe &pr, const policy &p, const char *name, int failed,
                 const zelmd_reply &reply, long long ms) {
  ClassifyResult r = {};
  const bool usable = !failed && parse_zelmd_response(reply.answer.s, p.sender_features, &r) == 0;
  // The classification line the filter would log comes first, on its own line.
  if (!failed) {
    char line[4096];
    std::fflush(stdout); // the line is written past stdio's buffer
    log_write(line, zelmd_response_line(line, sizeof line, r, usable, p.in_form, pr.c.remoteip,
                                        pr.e.sender));
  }
  const exchange x = failed ? exchange{asked::failed, reply.why} : exchange{asked::answered, nullptr};
  const plan pl = decide(p, x, r, usable);
  std::printf("  %-15s", name);
  if (failed)
    std::printf("failed after %lld ms: %s -> %s\n", ms, reply.why, plan_words(pl).c_str());
  else
    std::printf("answered in %lld ms -> %s\n", ms, plan_words(pl).c_str());
  if (pl.kind == plan_kind::refused) show_reply(pl);
  if (failed) {
    problem("%s daemon cannot be consulted (%s); every %s message would %s", pr.dir, reply.why,
            pr.dir, consequence(pl, usable).c_str());
    return 1;
  }
  std::printf("                 the daemon's answer:\n");
  show_answer(reply.answer.s);
  if (usable) return 0;
  problem("%s daemon answers without the required X-ZELM- lines (PVer, Spam, VOD, Flags, RefID); "
          "every %s message would %s",
          pr.dir, pr.dir, consequence(pl, usable).c_str());
  return 1;
}

// A message held in memory as the filter holds it, or one of 32000 bytes
// or more spooled by the filter's own intake and sent by its file name;
// the spool file goes again at once.
int ask(const probe &pr, const char *name, const std::string &text) {
  m = message{};
  m.start = time(nullptr);
  zelmd_reply reply = {};
  const long long t0 = now_ms();
  failure f = {};
  if (text.size() < MESSAGE_BUFFER_SIZE) {
    byte_copy(m.message_buffer, static_cast<uint32_t>(text.size()), text.data());
    m.size = text.size();
  } else {
    int fds[2];
    // The whole message fits in the pipe: written before it is read.
    if (pipe(fds) == -1 ||
        write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      return 1;
    close(fds[1]);
    const int code = read_message(&m, fds[0], pr.s, true, &f);
    close(fds[0]);
    if (code) {
      std::printf("  %-15scannot be spooled: %s (exit %d)\n", name, f.reason, code);
      problem("%s messages of 32000 bytes or more would get 451 (exit %d): %s%s", pr.dir, code,
              f.reason, spool_failed ? "; see the spool directory" : "");
      spool_remove(&m);
      return 1;
    }
  }
  policy p;
  if (policy_for(pr.s, pr.c, pr.e, m.size, &p, &f)) {
    std::printf("  %-15s%s (exit %d)\n", name, f.reason, f.code);
    problem("%s messages would get 451 (exit %d): %s", pr.dir, f.code, f.reason);
    spool_remove(&m);
    return 1;
  }
  const int failed = classify_message(p, pr.c, m, pr.e, &reply);
  spool_remove(&m);
  return report_probe(pr, p, name, failed, reply, now_ms() - t0);
}

// The probes' envelope: its sender and recipients, as the filter reads them.
envelope probe_envelope(const std::string &sender, const std::vector<std::string> &recipients) {
  envelope e = {};
  failure f = {};
  bool ok = stralloc_copys(&e.items, "F") &&
            stralloc_catb(&e.items, sender.data(), static_cast<uint32_t>(sender.size() + 1));
  for (const std::string &r : recipients)
    ok = ok && stralloc_cats(&e.items, "T") &&
         stralloc_catb(&e.items, r.data(), static_cast<uint32_t>(r.size() + 1));
  if (!ok || envelope_addresses(&e, &f)) {
    std::printf("out of memory\n");
    std::exit(1);
  }
  return e;
}

// The clean probe first: the others only when the daemon answered it, so
// that a daemon that cannot be consulted makes one problem, and no probe
// counts as spam for a sender without need.
void probes_of(const settings &s, direction dir, const envelope &e) {
  const char *name = dir == direction::outbound ? "outbound" : "inbound";
  const direction_settings &d = s.of(dir);
  // A client of the direction's kind; outbound under a name no real
  // client has.
  const probe pr = {s, name,
                    dir == direction::outbound ? client{PROBE_SENDER, "", PROBE_SENDER}
                                               : client{"127.0.0.1", nullptr, nullptr},
                    e};
  policy p;
  failure f = {};
  if (policy_for(s, pr.c, e, 0, &p, &f)) {
    std::printf("%s: %s\n", name, f.reason);
    problem("every %s message would get 451 (exit %d): %s", name, f.code, f.reason);
    return;
  }
  if (!policy_asks(p, 0)) {
    if (!d.zelmd_check && !policy_can_classify(s.policy, dir == direction::outbound))
      std::printf("%s: control/zelmd_check_%s is 0, not classified\n", name, name);
    else
      std::printf("%s: not classified for the probes' %s\n", name,
                  dir == direction::outbound ? "sender" : "recipients");
    return;
  }
  zelmd_request rq = {};
  rq.host = stralloc_view(&d.zelmd_host);
  rq.port = stralloc_view(&d.zelmd_port);
  const zelmd_daemon daemon = zelmd_daemon_of(rq);
  std::printf("%s daemon %s:%s\n", name, daemon.host, daemon.port);
  std::fflush(stdout);
  const std::string clean = "Subject: qmail-zelmd-check probe\n\nA clean test message.\n";
  if (ask(pr, "clean probe", clean)) return;
  if (ask(pr, "GTUBE probe", "Subject: qmail-zelmd-check probe\n\n" + std::string(GTUBE) + "\n"))
    return;
  if (!zelmd_reads_files(stralloc_view(&d.zelmd_host))) return;
  if (geteuid() == 0) {
    std::printf("  spooled probe  not sent: run as root it would make the spool directory root's; "
                "run the check as the SMTP user (setuidgid qmaild %s/bin/qmail-zelmd-check)\n",
                auto_qmail);
    return;
  }
  std::string big = clean;
  while (big.size() < 40000) big += "Padding of the spooled probe, which goes by file name.\n";
  if (ask(pr, "spooled probe", big) && std::strstr(problems.back().c_str(), "status 403"))
    problem("the daemon on localhost may not read the spool files: make the spool directory "
            "set-group-id to a group of the daemon's user, mode 2750");
}
int usage() {
  std::fprintf(stderr,
               "usage: qmail-zelmd-check [-n] [-d qmail-home] [-r recipient]... [-f sender]\n");
  return 2;
}
} // namespace

int main(int argc, char **argv) {
  const char *home = auto_qmail;
  bool probes = true;
  std::string sender = "qmail-zelmd-check@localhost";
  std::vector<std::string> recipients;
  int opt;
  // A bad option has had getopt's complaint; the usage follows at once.
  while ((opt = getopt(argc, argv, "d:nr:f:")) != -1) {
    if (opt == 'd')
      home = optarg;
    else if (opt == 'n')
      probes = false;
    else if (opt == 'r')
      recipients.push_back(optarg);
    else if (opt == 'f')
      sender = optarg;
    else
      return usage();
  }
  const bool asked = !recipients.empty() || sender != "qmail-zelmd-check@localhost";
  if (recipients.empty()) recipients.push_back("postmaster@localhost");
  if (optind != argc) return usage();
  if (chdir(home) == -1) {
    std::printf("cannot enter the qmail home %s: %s\n", home, std::strerror(errno));
    return 1;
  }
  log_init("qmail-zelmd");
  // The probes' classification lines go to the screen, not to the mail log.
  log_to(1);
  // Interrupted, it leaves no spooled probe behind.
  catch_signals();
  std::printf("qmail-zelmd-check: qmail home %s, uid %d, gid %d\n\n", home,
              static_cast<int>(geteuid()), static_cast<int>(getegid()));
  static settings s;
  show_controls(&s);
  setup_limits(&s);
  std::printf("\n");
  check_queue_program(s);
  check_spool_dir(s);
  check_leftovers(s);
  check_report_folder(s);
  check_policy(&s);
  check_quarantine_folder(s);
  const envelope e = probe_envelope(sender, recipients);
  if (asked) show_entries(s, e);
  if (probes) {
    std::printf("\n");
    probes_of(s, direction::inbound, e);
    probes_of(s, direction::outbound, e);
  }
  if (problems.empty()) {
    std::printf("\nno problems found\n");
    return 0;
  }
  std::printf("\n%zu problem%s:\n", problems.size(), problems.size() == 1 ? "" : "s");
  for (const std::string &p : problems) std::printf("problem: %s\n", p.c_str());
  return 1;
}
