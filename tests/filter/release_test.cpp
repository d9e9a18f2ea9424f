// qmail-zelmd-release on files the writer made, handing on to fake-queue
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
  return s.str();
}

// A file kept as the filter keeps one, or other bytes; its name from root.
std::string kept(const qmail_home &h, const char *other) {
  fs::create_directories(h.root / "kept");
  char name[512];
  const int fd = quarantine_create((h.root / "kept").string(), name, sizeof name);
  const bool written =
      other ? write(fd, other, strlen(other)) == ssize_t(strlen(other))
            : !quarantine_begin(fd, items, "X-ZELM-Spam: Confirmed\r\n", "192.0.2.1", "rule") &&
                  write(fd, message.data(), message.size()) == ssize_t(message.size()) &&
                  !quarantine_end(fd, message.size());
  EXPECT_TRUE(written) << name;
  close(fd);
  return fs::relative(name, h.root);
}

// Started in root, where relative names lead, with its output and errors.
std::pair<int, std::string> release(const qmail_home &h, const std::string &env,
                                    const std::string &args) {
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
    const char *name;
    const char *env;   // for fake-queue
    const char *other; // the bytes of a file that is no quarantine file
    int code;
    const char *said;
  } rows[] = {
      {"released", "", nullptr, 0, ": released, 21 bytes from <a@x> to 2 recipients\n"},
      {"queue program refuses", "FAKEQ_EXIT=71", nullptr, 1, "fake-queue exited 71\n"},
      {"queue program killed", "FAKEQ_SIGNAL=9", nullptr, 1, "fake-queue killed by signal 9\n"},
      {"not a quarantine file", "", "hello\n", 1, ": not released: not a quarantine file\n"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const qmail_home h;
    const std::string file = kept(h, r.other);
    const std::string before = bytes_of(h.root / file);
    const auto [code, out] = release(h, r.env, " " + file);
    EXPECT_EQ(code, r.code) << out;
    EXPECT_NE(out.find(r.said), std::string::npos) << out;
    EXPECT_EQ(h.record("message").value_or("none"), r.other ? "none" : message);
    EXPECT_EQ(h.record("envelope").value_or("none"), r.other ? "none" : items + '\0');
    EXPECT_EQ(fs::exists(h.root / file) ? bytes_of(h.root / file) : "gone",
              r.code ? before : "gone");
    // Never queued twice.
    if (r.code) continue;
    fs::remove(h.queue / "message");
    EXPECT_EQ(release(h, "", " " + file).first, 1);
    EXPECT_FALSE(h.record("message"));
  }
}

TEST(Release, Usage) {
  const qmail_home h;
  for (const char *args : {"", " -x kept"}) {
    const auto [code, out] = release(h, "", args);
    EXPECT_EQ(code, 2) << args;
    EXPECT_NE(out.find("usage: qmail-zelmd-release [-d qmail-home] file ...\n"), std::string::npos);
  }
}

} // namespace
