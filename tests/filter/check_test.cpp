// qmail-zelmd-check against a scratch qmail home: a good setup, and one
// break at a time, each of which must be named on a problem line.
#include <sys/stat.h>

#include <cstdio>
#include <functional>

#include "classify_support.h"
#include "zelmd_sim.h"

namespace fs = std::filesystem;

namespace {

struct check_run {
  int code = -1;
  std::string output;
};

check_run run_check(const qmail_home &h) {
  check_run r;
  const std::string cmd = std::string(ZELMD_CHECK) + " -d " + h.home.string() + " 2>&1";
  FILE *f = popen(cmd.c_str(), "r");
  if (!f) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) r.output.append(buf, n);
  const int st = pclose(f);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// Both directions classified by a zelmd-sim on localhost, a report folder
// of the SMTP user's: nothing to complain about.
void good_setup(const qmail_home &h, int port) {
  point_at(h, port, "localhost");
  h.control("zelmd_check_inbound", "1\n");
  h.control("zelmd_check_outbound", "1\n");
  fs::create_directory(h.root / "reports");
  fs::permissions(h.root / "reports", fs::perms::owner_all);
  h.control("zelmd_report_imap_folder", (h.root / "reports").string() + "\n");
}

TEST(Check, GoodSetup) {
  zelmd_sim sim(zelmd_sim::answers::classified);
  qmail_home h;
  good_setup(h, sim.port());
  const auto r = run_check(h);
  EXPECT_EQ(r.code, 0) << r.output;
  for (const char *file :
       {"control/me", "control/zelmd_in_host", "control/zelmd_onsession_in_block_spam",
        "control/zelmd_onsession_out_totmsgs_num", "control/zelmd_report_imap_folder",
        "control/zelmd_queue_binary", "control/zelmd_require_scan", "control/zelmd_timeout",
        "control/zelmd_spool_dir"})
    EXPECT_NE(r.output.find(std::string("\n") + file + " "), std::string::npos) << file;
  // Each direction: clean, GTUBE and the spooled probe by file name.
  EXPECT_NE(r.output.find("GTUBE probe    answered"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("X-ZELM-Spam: Confirmed"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("spooled probe  answered"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("no problems found"), std::string::npos) << r.output;
}

TEST(Check, BrokenSetups) {
  zelmd_sim sim(zelmd_sim::answers::classified);
  struct {
    const char *name;
    std::function<void(const qmail_home &)> brk;
    std::string named; // on a problem line
  } cases[] = {
      {"unreadable text file", [](auto &h) { h.unreadable_control("zelmd_in_host"); },
       "control/zelmd_in_host cannot be read: the filter refuses every message"},
      {"unreadable control/me", [](auto &h) { h.unreadable_control("me"); },
       "control/me cannot be read"},
      {"CR LF line", [](auto &h) { h.control("zelmd_out_port", "8088\r\n"); },
       "control/zelmd_out_port holds a carriage return"},
      {"yes for 1", [](auto &h) { h.control("zelmd_require_scan", "yes\n"); },
       "control/zelmd_require_scan \"yes\" is not a number: the filter uses the default 0"},
      {"text after the number", [](auto &h) { h.control("zelmd_check_inbound", "1 # on\n"); },
       "control/zelmd_check_inbound text after the number"},
      {"number out of range",
       [](auto &h) { h.control("zelmd_onsession_out_totspam_num", "3000000000\n"); },
       "control/zelmd_onsession_out_totspam_num out of range: the filter reads -1294967296"},
      {"switch of 2", [](auto &h) { h.control("zelmd_onsession_in_block_virus", "2\n"); },
       "control/zelmd_onsession_in_block_virus 2 is not 1"},
      {"missing queue program",
       [](auto &h) { h.control("zelmd_queue_binary", "/nonexistent/qmail-queue\n"); },
       "queue program /nonexistent/qmail-queue: No such file or directory"},
      {"relative spool directory", [](auto &h) { h.control("zelmd_spool_dir", "spool\n"); },
       "control/zelmd_spool_dir spool is not an absolute path"},
      {"spool directory writable by all",
       [](auto &h) {
         fs::create_directory(h.root / "spool");
         fs::permissions(h.root / "spool", fs::perms::all);
         h.control("zelmd_spool_dir", (h.root / "spool").string() + "\n");
       },
       "/spool is writable by group or others"},
      {"report folder missing",
       [](auto &h) { h.control("zelmd_report_imap_folder", (h.root / "nowhere").string() + "\n"); },
       "/nowhere: No such file or directory"},
      {"report folder readable by others",
       [](auto &h) {
         fs::permissions(h.root / "reports", fs::perms::others_read, fs::perm_options::add);
       },
       "/reports is readable by others"},
      {"daemon down", [](auto &h) { point_at(h, loopback_daemon::unused_port(), "127.0.0.1"); },
       "inbound daemon cannot be consulted (daemon 127.0.0.1:"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    good_setup(h, sim.port());
    c.brk(h);
    const auto r = run_check(h);
    EXPECT_EQ(r.code, 1) << r.output;
    bool found = false;
    for (size_t at = 0; (at = r.output.find("\nproblem: ", at)) != std::string::npos; ++at)
      found |= r.output.substr(at, r.output.find('\n', at + 1) - at).find(c.named) !=
               std::string::npos;
    EXPECT_TRUE(found) << "want a problem line with \"" << c.named << "\" in\n" << r.output;
  }
}

} // namespace
