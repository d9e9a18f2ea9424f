// qmail-zelmd-release on a file the writer made, handing on to fake-queue
// from a scratch qmail home.
#include <fcntl.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "harness.h"
#include "quarantine_file.h"

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const std::string items = "Fa@x\0Tb@y\0Tc@z\0"s, message = "Subject: kept\n\n\0body\n"s;

std::string bytes_of(const fs::path &p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return fs::exists(p) ? s.str() : "gone";
}

// Started in root, where the relative names lead: its code and output.
std::pair<int, std::string> release(const qmail_home &h, const char *env, const char *args) {
  const std::string cmd = "cd " + h.root.string() + " && FAKEQ_DIR=" + h.queue.string() + " " +
                          env + " " + ZELMD_RELEASE + " -d " + h.home.string() + args + " 2>&1";
  FILE *f = popen(cmd.c_str(), "r");
  std::string out(4096, 0);
  out.resize(f ? fread(out.data(), 1, out.size(), f) : 0);
  const int st = f ? pclose(f) : -1;
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(Release, Files) {
  const struct {
    const char *name, *args; // kept/q is a quarantine file, kept/other is not
    const char *env;         // for fake-queue
    int code;
    const char *said;
  } rows[] = {
      {"released", " kept/q", "", 0, "kept/q: released, 21 bytes from <a@x> to 2 recipients\n"},
      {"queue program refuses", " kept/q", "FAKEQ_EXIT=71", 1, "fake-queue exited 71\n"},
      {"queue program killed", " kept/q", "FAKEQ_SIGNAL=9", 1, "fake-queue killed by signal 9\n"},
      {"no quarantine file", " kept/other", "", 1, "other: not released: not a quarantine file\n"},
      {"no file", "", "", 2, "usage: qmail-zelmd-release [-d qmail-home] file ...\n"},
      {"bad option", " -x kept/q", "", 2, "usage: "},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const qmail_home h;
    fs::create_directory(h.root / "kept");
    std::ofstream(h.root / "kept/other") << "hello\n";
    const int fd = open((h.root / "kept/q").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_TRUE(!quarantine_begin(fd, items, "X-ZELM-Spam: Yes\r\n", "192.0.2.1", "rule") &&
                write(fd, message.data(), message.size()) == ssize_t(message.size()) &&
                !quarantine_end(fd, message.size()) && !close(fd));
    const std::string kept = bytes_of(h.root / "kept/q");
    const auto [code, out] = release(h, r.env, r.args);
    EXPECT_EQ(code, r.code) << out;
    EXPECT_NE(out.find(r.said), std::string::npos) << out;
    const bool handed = r.env[0] || !r.code;
    EXPECT_EQ(h.record("message").value_or("none"), handed ? message : "none");
    EXPECT_EQ(h.record("envelope").value_or("none"), handed ? items + '\0' : "none");
    EXPECT_EQ(bytes_of(h.root / "kept/q"), r.code ? kept : "gone");
    EXPECT_EQ(bytes_of(h.root / "kept/other"), "hello\n");
    if (r.code) continue;
    // Never queued twice.
    fs::remove(h.queue / "message");
    EXPECT_EQ(release(h, "", r.args).first, 1);
    EXPECT_FALSE(h.record("message"));
  }
}

} // namespace
