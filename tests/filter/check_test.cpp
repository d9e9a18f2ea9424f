// qmail-zelmd-check against a scratch qmail home: a good setup, and one
// break at a time, each of which must be named on a problem line.
#include <sys/stat.h>

#include <cstdio>
#include <functional>

#include <unistd.h>

#include "classify_support.h"
#include "zelmd_sim.h"

namespace fs = std::filesystem;

namespace {

struct check_run {
  int code = -1;
  std::string output;
};

// As root, or as nobody (uid and gid 65534) with setpriv.
check_run run_check(const qmail_home &h, const std::string &args = "", bool as_nobody = false) {
  check_run r;
  const std::string cmd =
      std::string(as_nobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
      ZELMD_CHECK + " -d " + h.home.string() + args + " 2>&1";
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
  // Of its own: the machine's may hold what other tests' killed filters left.
  h.control("zelmd_spool_dir", (h.root / "spool").string() + "\n");
  h.control("zelmd_check_inbound", "1\n");
  h.control("zelmd_check_outbound", "1\n");
  fs::create_directory(h.root / "reports");
  fs::permissions(h.root / "reports", fs::perms::owner_all);
  h.control("zelmd_report_imap_folder", (h.root / "reports").string() + "\n");
}

// The problem lines of the output.
std::vector<std::string> problem_lines(const std::string &out) {
  std::vector<std::string> lines;
  for (size_t at = 0; (at = out.find("\nproblem: ", at)) != std::string::npos; ++at)
    lines.push_back(out.substr(at + 1, out.find('\n', at + 1) - at - 1));
  return lines;
}

// Run as root it asks the daemon but spools nothing: a spool directory it
// made would be root's and refuse the SMTP user's large messages.
TEST(Check, GoodSetup) {
  zelmd_sim sim(zelmd_sim::answers::classified);
  qmail_home h;
  good_setup(h, sim.port());
  // What the sender of a refused message would be told, as it is set.
  h.control("zelmd_onsession_in_block_spam", "1\n");
  h.control("zelmd_custom_reply", "1\n");
  const auto r = run_check(h);
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("refuse 31 (control/zelmd_onsession_in_block_spam)\n"
                          "                 the client is told: 554 message refused as spam, "
                          "reference "),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("needs a qmail-smtpd that reads descriptor 6"), std::string::npos);
  EXPECT_NE(r.output.find("spooled probe  not sent: run as root"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(h.root / "spool"));
  for (const char *file :
       {"control/me", "control/zelmd_in_host", "control/zelmd_onsession_in_block_spam",
        "control/zelmd_onsession_out_totmsgs_num", "control/zelmd_report_imap_folder",
        "control/zelmd_queue_binary", "control/zelmd_require_scan", "control/zelmd_timeout",
        "control/zelmd_spool_dir"})
    EXPECT_NE(r.output.find(std::string("\n") + file + " "), std::string::npos) << file;
  EXPECT_NE(r.output.find("GTUBE probe    answered"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("X-ZELM-Spam: Confirmed"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("no problems found"), std::string::npos) << r.output;
}

// The SMTP user's view: the spooled probe goes by file name, and is gone
// again, whether it ends or is interrupted.
TEST(Check, SpooledProbeAsTheSmtpUser) {
  qmail_home h;
  const fs::path spool = h.root / "spool";
  fs::create_directory(spool);
  fs::permissions(h.root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  for (const fs::path &p : {h.root / "reports", spool}) {
    fs::create_directory(p);
    ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
  }
  if (access(h.root.c_str(), X_OK) != 0 || !fs::exists(ZELMD_CHECK))
    GTEST_SKIP() << "the scratch directory is out of reach here";
  zelmd_sim sim(zelmd_sim::answers::classified, spool.string());
  good_setup(h, sim.port());
  fs::permissions(h.root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  h.control("zelmd_spool_dir", spool.string() + "\n");
  const auto r = run_check(h, "", true);
  if (r.output.find("Permission denied") != std::string::npos)
    GTEST_SKIP() << "the build tree is out of reach for uid 65534:\n" << r.output;
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("spooled probe  answered"), std::string::npos) << r.output;
  EXPECT_TRUE(fs::is_empty(spool));

  // Interrupted while the daemon reads the spooled probe.
  loopback_daemon d({.response = http_response(answer_text(outbound_answer())),
                     .on_request = [&](const std::string &req) {
                       // "X-ZELM-FileName: <spool>/<pid>//<start>.msg"
                       const std::string name = "X-ZELM-FileName: " + spool.string() + "/";
                       const size_t at = req.find(name);
                       if (at != std::string::npos) kill(std::atoi(&req[at + name.size()]), SIGINT);
                     }});
  point_at(h, d.port(), "localhost");
  run_check(h, "", true);
  EXPECT_TRUE(fs::is_empty(spool));
  d.stop();
  size_t by_name = 0;
  for (const auto &req : d.requests()) by_name += req.find("X-ZELM-FileName: ") != std::string::npos;
  EXPECT_EQ(by_name, 1u); // the first ended the check
}

// The probes ask as the filter asks (its time limits too), one problem per
// direction whose daemon cannot be consulted or answers unusably, and the
// spam probe only once the clean one was answered. Outbound probes come
// from a sender no client can be.
TEST(Check, Probes) {
  struct {
    const char *name;
    daemon_script script;
    size_t requests;    // per direction
    std::string named;  // on both problem lines; none when empty
  } cases[] = {
      {"answered", {.response = http_response(answer_text(outbound_answer()))}, 2, ""},
      {"error status", {.response = http_response("busy", framing::length, "503 Busy")}, 1,
       "daemon cannot be consulted (daemon 127.0.0.1:<port>: status 503)"},
      {"no X-ZELM- lines", {.response = http_response("hello\r\n")}, 1,
       "daemon answers without the required X-ZELM- lines"},
      {"time limit of the control file", {.how = daemon_script::hang}, 1,
       "daemon cannot be consulted (daemon 127.0.0.1:<port>: reading the answer: time-out after 1 s)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    loopback_daemon d(c.script);
    good_setup(h, d.port());
    point_at(h, d.port());
    h.control("zelmd_timeout", "1\n");
    const auto r = run_check(h);
    d.stop();
    const auto lines = problem_lines(r.output);
    EXPECT_EQ(r.code, c.named.empty() ? 0 : 1) << r.output;
    std::string named = c.named;
    if (const size_t at = named.find("<port>"); at != std::string::npos)
      named.replace(at, 6, std::to_string(d.port()));
    EXPECT_EQ(lines.size(), c.named.empty() ? 0u : 2u) << r.output;
    for (const auto &l : lines) EXPECT_NE(l.find(named), std::string::npos) << l;
    const auto requests = d.requests();
    ASSERT_EQ(requests.size(), 2 * c.requests) << r.output;
    for (size_t i = 0; i < requests.size(); ++i) {
      const bool outbound = i >= c.requests;
      EXPECT_EQ(requests[i].find("GTUBE") != std::string::npos, i % c.requests == 1);
      EXPECT_EQ(requests[i].find("X-ZELM-SenderID: qmail-zelmd-check.invalid\r\n") !=
                    std::string::npos,
                outbound)
          << requests[i];
    }
  }
  // Not a single problem line more for a daemon that is down.
  qmail_home h;
  good_setup(h, loopback_daemon::unused_port());
  point_at(h, loopback_daemon::unused_port(), "127.0.0.1");
  const auto lines = problem_lines(run_check(h).output);
  ASSERT_EQ(lines.size(), 2u);
  for (const auto &l : lines) EXPECT_NE(l.find("daemon cannot be consulted"), std::string::npos) << l;
}

// A bad option or argument: the usage line, exit 2, at once.
TEST(Check, Usage) {
  for (const char *args : {" extra", " -h", " --help", " -x", " -d"}) {
    qmail_home h;
    const auto r = run_check(h, args);
    EXPECT_EQ(r.code, 2) << args;
    EXPECT_TRUE(r.output.ends_with(
        "usage: qmail-zelmd-check [-n] [-d qmail-home] [-r recipient]... [-f sender]\n"))
        << args << ": " << r.output;
  }
}

// The check shows for its probe the plan the filter carries out for a
// message: answers with and without the required lines, a scan required
// or not.
TEST(Check, AgreesWithTheFilter) {
  const field_list partial = {{"X-ZELM-PVer", "0000001"}, {"X-ZELM-Spam", "Confirmed"},
                              {"X-ZELM-VOD", "Clean"}};
  const struct {
    field_list answer;
    const char *require_scan;
    int code;
    const char *shown;
  } cases[] = {
      {partial, "0", 31, "-> refuse 31 (control/zelmd_onsession_in_block_spam)\n"},
      {partial, "1", 71, "-> refuse 71\n"},
      {{}, "0", 0, "-> pass and stamp\n"},
      {{}, "1", 71, "-> refuse 71\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.answer.size() << " lines, require_scan "
                                    << c.require_scan);
    qmail_home h;
    loopback_daemon d({.response = http_response(answer_text(c.answer) + "\r\n")});
    point_at(h, d.port());
    h.control("zelmd_check_inbound", "1\n");
    h.control("zelmd_onsession_in_block_spam", "1\n");
    h.control("zelmd_require_scan", std::string(c.require_scan) + "\n");
    const auto check = run_check(h);
    EXPECT_NE(check.output.find("clean probe    answered in "), std::string::npos) << check.output;
    EXPECT_NE(check.output.find(c.shown), std::string::npos) << check.output;
    const auto got = run_caught(h, d, {.message = "Subject: x\n\nbody\n",
                                       .envelope = envelope({"Fa@x", "Tb@y"})});
    EXPECT_EQ(got.run.code, c.code) << got.run;
  }
}

// Working directories whose filter is gone (killed with SIGKILL), in the
// spool directory and private ones under /tmp, are named.
TEST(Check, LeftoversNamed) {
  qmail_home h;
  constexpr pid_t gone = 4194303; // above any pid this system has in use
  ASSERT_NE(kill(gone, 0), 0);
  h.control("zelmd_spool_dir", (h.root / "spool").string() + "\n");
  fs::create_directories(h.root / "spool" / std::to_string(gone));
  fs::create_directories(h.root / "spool" / std::to_string(getpid())); // running
  const fs::path private_dir =
      "/tmp/qmail-zelmd." + std::to_string(gone) + ".t" + std::to_string(getpid());
  fs::create_directory(private_dir);
  const auto r = run_check(h, " -n");
  fs::remove(private_dir);
  const auto lines = problem_lines(r.output);
  EXPECT_EQ(lines.size(), 2u) << r.output;
  for (const std::string &dir : {(h.root / "spool" / std::to_string(gone)).string() + "/",
                                 private_dir.string() + "/"})
    EXPECT_NE(r.output.find("problem: spool directory " + dir + " was left by a filter that was "
                            "killed"),
              std::string::npos)
        << r.output;
}

// The entry each address matches, the settings that result, the probes
// judged by them; a policy text newer than its compiled file, and a
// quarantine folder an entry would need, are problems.
TEST(Check, PolicyEntriesShown) {
  zelmd_sim sim(zelmd_sim::answers::classified);
  qmail_home h;
  good_setup(h, sim.port());
  point_at(h, sim.port());
  h.control("zelmd_quarantine_dir", (h.root / "nowhere").string() + "\n");
  ASSERT_EQ(h.policy("trial.example:block_spam=1,tag_only=1\nfrom:.example:quarantine=1\n"), "");
  auto r = run_check(h, " -r a@Trial.Example -r b@other -f c@x.example");
  for (const std::string &want : std::vector<std::string>{
           "recipient a@Trial.Example: entry trial.example of control/zelmd_policy\n",
        "                 block_spam    1                    entry\n",
        "recipient b@other: no entry, the control files alone\n",
        "sender    c@x.example: entry from:.example of control/zelmd_policy\n",
        "GTUBE probe    answered", "-> pass and stamp, tag only: would be refused by "
        "control/zelmd_policy trial.example block_spam\n",
        "problem: quarantine folder " + (h.root / "nowhere").string() + ": No such file"})
    EXPECT_NE(r.output.find(want), std::string::npos) << want << " in\n" << r.output;
  h.control("zelmd_policy", "trial.example:check=0\n");
  r = run_check(h, " -n");
  EXPECT_NE(r.output.find("problem: control/zelmd_policy is newer than "
                          "control/zelmd_policy.cdb"),
            std::string::npos)
      << r.output;
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
       "spool directory spool: not an absolute path"},
      {"spool directory a link, named with a slash",
       [](auto &h) {
         fs::create_directory_symlink(h.root, h.root / "spool");
         h.control("zelmd_spool_dir", (h.root / "spool").string() + "/\n");
       },
       "/spool/: not a directory"},
      {"spool directory too long for the longest pid",
       [](auto &h) { h.control("zelmd_spool_dir", "/" + std::string(122, 's') + "\n"); },
       ": path too long"},
      {"spool directory writable by all",
       [](auto &h) {
         fs::create_directory(h.root / "spool");
         fs::permissions(h.root / "spool", fs::perms::all);
         h.control("zelmd_spool_dir", (h.root / "spool").string() + "\n");
       },
       "/spool: writable by group or others"},
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
