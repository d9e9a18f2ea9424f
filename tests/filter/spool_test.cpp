// The spool area under /tmp: used only when it is safely ours, and the
// working directory gone again however the run ends.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "fd.h"
#include "classify_support.h"
#include "syslog_catcher.h"

namespace fs = std::filesystem;

namespace {

const std::string spooled = "Subject: x\n\n" + std::string(40000, 'b');

TEST(Spool, ReadFailureCleansUp) {
  qmail_home h;
  h.reads_every_message();
  const fd_owner dir(open(h.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(dir.ok());
  // Reading a directory fails: on 0 before anything is spooled, on 1 after.
  for (const filter_run &run : {filter_run{.envelope = envelope({"Fa", "Tb"}), .fd0 = dir.get()},
                                filter_run{.message = spooled, .fd1 = dir.get()}}) {
    const auto r = run_filter(h, run);
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_FALSE(h.record("argv0")) << "queue program started";
    EXPECT_FALSE(fs::exists(r.workdir));
  }
}

// Regular files anywhere below p.
int files_below(const fs::path &p) {
  int n = 0;
  for (const auto &e : fs::recursive_directory_iterator(p)) n += e.is_regular_file();
  return n;
}

const std::string shared = "/tmp/qmail-zelmd";
std::string workdir_here() { return shared + "/" + std::to_string(getpid()); }

bool make_dir(const std::string &p, mode_t mode, uid_t uid = 0) {
  return mkdir(p.c_str(), 0) == 0 && chmod(p.c_str(), mode) == 0 && chown(p.c_str(), uid, uid) == 0;
}
bool make_file(const std::string &p) { return close(creat(p.c_str(), 0644)) == 0; }

// The filter runs as root here, so uid 65534 is someone else. A spool
// area that cannot be used safely must not stop large mail: the message is
// spooled in a private directory of the filter's own instead, with a line
// that names the trouble. Only a daemon that reads the file by its name
// must find it there, and then the message waits (71).
TEST(Spool, UnsafeAreaAvoided) {
  if (!can_isolate()) GTEST_SKIP() << "needs root and mount namespaces";
  const std::string area = "unsafe spool directory /tmp/qmail-zelmd: ";
  const std::string work = "unsafe working directory /tmp/qmail-zelmd/<pid>/: ";
  const std::string fix =
      "fix: name a directory of this user, not writable by others, in control/zelmd_spool_dir";
  struct {
    const char *name;
    std::function<bool(const std::string &elsewhere)> plant;
    std::string trouble; // "<pid>" stands for the filter's
    int planted_files = 0;
    bool tmp_usable = true;
  } cases[] = {
      {"shared dir cannot be made",
       [](auto &) {
         return mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
       },
       "cannot make spool directory /tmp/qmail-zelmd: Read-only file system", 0, false},
      {"shared dir a symlink", [](auto &e) { return symlink(e.c_str(), shared.c_str()) == 0; },
       area + "not a directory"},
      {"shared dir a symlink, named with a slash",
       [](auto &e) { return symlink(e.c_str(), shared.c_str()) == 0; },
       "unsafe spool directory /tmp/qmail-zelmd/: not a directory"},
      {"shared dir a file", [](auto &) { return make_file(shared); }, area + "not a directory", 1},
      {"shared dir writable by all", [](auto &) { return make_dir(shared, 0777); },
       area + "writable by group or others"},
      {"shared dir writable by group", [](auto &) { return make_dir(shared, 0770); },
       area + "writable by group or others"},
      {"shared dir someone else's", [](auto &) { return make_dir(shared, 0755, 65534); },
       area + "owned by another user"},
      {"workdir a symlink",
       [](auto &e) {
         return make_dir(shared, 0755) && symlink(e.c_str(), workdir_here().c_str()) == 0;
       },
       work + "not a directory"},
      {"workdir a file", [](auto &) { return make_dir(shared, 0755) && make_file(workdir_here()); },
       work + "not a directory", 1},
      {"workdir writable by others",
       [](auto &) { return make_dir(shared, 0755) && make_dir(workdir_here(), 0757); },
       work + "writable by group or others"},
      {"workdir someone else's",
       [](auto &) { return make_dir(shared, 0755) && make_dir(workdir_here(), 0750, 65534); },
       work + "owned by another user"},
  };
  enum { unclassified, inline_daemon, by_name } modes[] = {unclassified, inline_daemon, by_name};
  for (const auto &c : cases) {
    for (const auto mode : modes) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << (mode == unclassified ? "unclassified"
                                                            : mode == by_name ? "localhost"
                                                                              : "127.0.0.1"));
      qmail_home h;
      loopback_daemon d({.response = http_response(answer_text(inbound_answer()))});
      if (mode != unclassified) {
        point_at(h, d.port(), mode == by_name ? "localhost" : "127.0.0.1");
        h.control("zelmd_check_inbound", "1\n");
      } else {
        h.reads_every_message();
      }
      if (c.name == std::string("shared dir a symlink, named with a slash"))
        h.control("zelmd_spool_dir", "/tmp/qmail-zelmd/\n");
      const fs::path elsewhere = h.root / "elsewhere";
      fs::create_directory(elsewhere);
      const auto got = run_caught(h, d, {.message = spooled, .envelope = envelope({"Fa", "Tb"}),
                                         .private_tmp = true,
                                         .in_child = [&] { return c.plant(elsewhere.string()); }});
      const auto &r = got.run;
      std::string trouble = c.trouble;
      if (const size_t at = trouble.find("<pid>"); at != std::string::npos)
        trouble.replace(at, 5, std::to_string(r.pid));
      ASSERT_TRUE(got.log_caught);
      std::vector<std::string> lines;
      for (const auto &l : got.log) lines.push_back(parse_syslog(l).value_or(syslog_line{}).text);
      if (!c.tmp_usable) {
        EXPECT_EQ(r.code, 71) << r;
        EXPECT_FALSE(h.record("argv0")) << "queue program started";
        EXPECT_EQ(lines, std::vector<std::string>{
                             "IP: 127.0.0.1 - " + trouble +
                             "; cannot make a private spool directory in /tmp either: "
                             "Read-only file system (exit 71)"});
      } else {
        EXPECT_EQ(r.code, 0) << r;
        EXPECT_TRUE(same_bytes(h.record("message"),
                               mode == unclassified ? spooled
                                                    : stamped(spooled, 11, inbound_stamp())));
        ASSERT_GE(lines.size(), 1u);
        // "... spooled in /tmp/qmail-zelmd.PID.XXXXXX/ instead (...)": a name of its own; a
        // daemon that would read it by name gets the message inline.
        const std::string head = "IP: 127.0.0.1 - " + trouble + "; spooled in /tmp/qmail-zelmd." +
                                 std::to_string(r.pid) + ".";
        EXPECT_TRUE(lines[0].starts_with(head)) << lines[0];
        EXPECT_EQ(lines[0].substr(std::min(lines[0].size(), head.size() + 6)),
                  std::string("/ instead") + (mode == by_name ? " and sent inline" : "") + " (" +
                      fix + ")");
        EXPECT_EQ(lines.size(), mode == unclassified ? 1u : 2u);
        const auto requests = d.requests();
        ASSERT_EQ(requests.size(), mode == unclassified ? 0u : 1u);
        EXPECT_TRUE(mode != by_name || requests[0].ends_with(spooled)) << "not sent inline";
      }
      EXPECT_EQ(files_below(h.tmp), c.planted_files);
      for (const auto &e : fs::directory_iterator(h.tmp))
        EXPECT_FALSE(e.path().filename().string().starts_with("qmail-zelmd.")) << "left " << e.path();
      EXPECT_TRUE(fs::is_empty(elsewhere));
    }
  }
}

TEST(Spool, SafeAreaUsed) {
  if (!can_isolate()) GTEST_SKIP() << "needs root and mount namespaces";
  struct {
    const char *name;
    std::function<bool()> plant;
    mode_t mode; // the shared directory's afterwards
  } cases[] = {
      {"shared dir made", [] { return true; }, 0755},
      // Made with its own mode, not what the umask leaves of it.
      {"shared dir made under umask 077", [] { return umask(077), true; }, 0755},
      {"shared dir private", [] { return make_dir(shared, 0700); }, 0700},
      {"workdir left by an earlier process",
       [] { return make_dir(shared, 0755) && make_dir(workdir_here(), 0750); }, 0755},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    h.reads_every_message();
    const auto r = run_filter(h, {.message = spooled, .envelope = envelope({"Fa", "Tb"}),
                                  .private_tmp = true, .in_child = c.plant});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(same_bytes(h.record("message"), spooled));
    EXPECT_FALSE(fs::exists(r.workdir));
    struct stat st;
    ASSERT_EQ(lstat((h.tmp / "qmail-zelmd").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, c.mode);
  }
}

TEST(Spool, SmallMessagesNeverTouchTheSpoolArea) {
  // Below 32000 bytes nothing is spooled, so neither a missing nor an
  // unsafe spool area stands in the way, and none is made.
  if (!can_isolate()) GTEST_SKIP() << "needs root and mount namespaces";
  const std::string small = "Subject: x\n\nbody\n";
  struct {
    const char *name;
    std::function<bool()> plant;
  } cases[] = {
      {"no spool area", [] { return true; }},
      {"spool area writable by all", [] { return make_dir(shared, 0777); }},
      {"spool area a symlink", [] { return symlink("/", shared.c_str()) == 0; }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    const auto r = run_filter(h, {.message = small, .envelope = envelope({"Fa", "Tb"}),
                                  .private_tmp = true, .in_child = c.plant});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(same_bytes(h.record("message"), small));
    EXPECT_EQ(files_below(h.tmp), 0);
  }
  qmail_home h;
  run_filter(h, {.message = small, .envelope = envelope({"Fa", "Tb"}), .private_tmp = true});
  EXPECT_FALSE(fs::exists(h.tmp / "qmail-zelmd"));
}

// Whatever waits at the spool file's name, a link to another file or a
// hard link to it, is replaced, never written through.
TEST(Spool, SpoolFileAlwaysNew) {
  if (!can_isolate()) GTEST_SKIP() << "needs root and mount namespaces";
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    qmail_home h;
    // A hard link needs the victim on the spool area's file system.
    const fs::path victim = hard ? h.tmp / "victim" : h.root / "victim";
    std::ofstream(victim) << "untouched";
    const std::string inside = hard ? "/tmp/victim" : victim.string();
    // The spool file is named after the start time; cover the seconds the
    // filter may start in.
    const auto plant = [&] {
      const std::string w = workdir_here();
      if (!make_dir(shared, 0755) || !make_dir(w, 0750)) return false;
      const time_t now = time(nullptr);
      for (time_t t = now - 1; t < now + 60; ++t) {
        const std::string at = w + "/" + std::to_string(t) + ".msg";
        if ((hard ? link(inside.c_str(), at.c_str()) : symlink(inside.c_str(), at.c_str())) != 0)
          return false;
      }
      return true;
    };
    const auto r = run_filter(h, {.message = spooled, .envelope = envelope({"Fa", "Tb"}),
                                  .private_tmp = true, .in_child = plant});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(same_bytes(h.record("message"), spooled));
    std::ifstream f(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "untouched");
  }
}

} // namespace
