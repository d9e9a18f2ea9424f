#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "env.h"
#include "fd.h"
#include "qmail.h"
#include "../lib/scratch_dir.h"

// The queue program runs in this directory, relative to each test's own
// scratch directory, so a test decides whether the qmail home exists.
extern const char auto_qmail[] = "qmail-home";

namespace {

using namespace std::string_literals;

// A queue program that stops reading must show as a failed write.
const auto sigpipe_ignored = signal(SIGPIPE, SIG_IGN);

std::string slurp(const std::filesystem::path &p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// A queue program that records both descriptors and exits with the code
// named in its environment.
void write_recorder(const scratch_dir &d) {
  d.write("qmail-home/bin/qmail-queue",
          "#!/bin/sh\ncat > ../message\ncat <&1 > ../envelope\n"
          "[ -n \"$QQ_KILL\" ] && kill -9 $$\nexit ${QQ_EXIT:-0}\n");
  std::filesystem::permissions("qmail-home/bin/qmail-queue", std::filesystem::perms::owner_all);
}

struct handoff {
  const char *text;
  int code;
};

handoff run(const std::string &message, const char *from, std::initializer_list<const char *> to) {
  qmail_handle qq;
  if (qmail_open(&qq) == -1) return {"open failed", -1};
  qmail_put(&qq, message.data(), static_cast<int>(message.size()));
  qmail_from(&qq, from);
  for (const char *t : to) qmail_to(&qq, t);
  int code = -7;
  const char *text = qmail_close(&qq, &code);
  return {text, code};
}

// Each test runs in its own process (ctest), so the program path that
// qmail_open caches is the one the test chooses.
TEST(QmailHandoff, StreamsMessageAndEnvelopeByteForByte) {
  scratch_dir d;
  write_recorder(d);
  ASSERT_EQ(env_put("QMAILQUEUE=bin/qmail-queue"), 1);
  std::string message;
  for (int i = 0; i < 300000; ++i) message += static_cast<char>(i * 7);
  const handoff h = run(message, "a@b", {"c@d", "e@f"});
  EXPECT_STREQ(h.text, "");
  EXPECT_EQ(h.code, 0);
  EXPECT_EQ(slurp("message"), message);
  EXPECT_EQ(slurp("envelope"), "Fa@b\0Tc@d\0Te@f\0\0"s);
}

TEST(QmailHandoff, FileContentFollowsBufferedBytes) {
  // From a regular file the kernel moves the bytes; from a pipe the
  // fallback reads them. Either way they follow what was put before.
  scratch_dir d;
  write_recorder(d);
  ASSERT_EQ(env_put("QMAILQUEUE=bin/qmail-queue"), 1);
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i * 13);
  d.write("spool", "skipped" + content);
  for (const bool from_pipe : {false, true}) {
    fd_owner src;
    if (from_pipe) {
      int p[2];
      ASSERT_EQ(pipe(p), 0);
      fd_owner w(p[1]);
      src = fd_owner(p[0]);
      // Small enough to sit in the pipe before anyone reads it.
      content.resize(30000);
      ASSERT_EQ(write(w.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
    } else {
      src = fd_owner(open("spool", O_RDONLY));
      ASSERT_EQ(lseek(src.get(), 7, SEEK_SET), 7); // from the current offset on
    }
    qmail_handle qq;
    ASSERT_EQ(qmail_open(&qq), 0);
    qmail_puts(&qq, "head:");
    EXPECT_EQ(qmail_putfile(&qq, src.get()), 0);
    qmail_from(&qq, "a");
    int code = -1;
    EXPECT_STREQ(qmail_close(&qq, &code), "");
    EXPECT_EQ(slurp("message"), "head:" + content) << (from_pipe ? "pipe" : "file");
  }
}

TEST(QmailHandoff, EmptySenderAndNoRecipients) {
  scratch_dir d;
  write_recorder(d);
  ASSERT_EQ(env_put("QMAILQUEUE=bin/qmail-queue"), 1);
  const handoff h = run("", "", {});
  EXPECT_EQ(h.code, 0);
  EXPECT_EQ(slurp("envelope"), "F\0\0"s);
}

TEST(QmailHandoff, ExitCodesAndTheirTexts) {
  scratch_dir d;
  write_recorder(d);
  ASSERT_EQ(env_put("QMAILQUEUE=bin/qmail-queue"), 1);
  const struct { int code; const char *text; } cases[] = {
      {0, ""},
      {11, "Denvelope address too long for qq (#5.1.3)"},
      {115, "Denvelope address too long for qq (#5.1.3)"},
      {31, "Dmail server permanently rejected message (#5.3.0)"},
      {40, "Dqq permanent problem (#5.3.0)"},
      {10, "Zqq temporary problem (#4.3.0)"},
      {41, "Zqq temporary problem (#4.3.0)"},
      {121, "Zqq temporary problem (#4.3.0)"},
      {53, "Zqq write error or disk full (#4.3.0)"},
      {64, "Zqq trouble creating files in queue (#4.3.0)"},
      {71, "Zmail server temporarily rejected message (#4.3.0)"},
      {74, "Zcommunication with mail server failed (#4.4.2)"},
      {91, "Zqq internal bug (#4.3.0)"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(env_put(("QQ_EXIT=" + std::to_string(c.code)).c_str()), 1);
    const handoff h = run("x", "a", {"b"});
    EXPECT_EQ(h.code, c.code);
    EXPECT_STREQ(h.text, c.text) << c.code;
  }
}

TEST(QmailHandoff, KilledQueueProgramLeavesCodeAlone) {
  scratch_dir d;
  write_recorder(d);
  ASSERT_EQ(env_put("QMAILQUEUE=bin/qmail-queue"), 1);
  ASSERT_EQ(env_put("QQ_KILL=1"), 1);
  const handoff h = run("x", "a", {"b"});
  EXPECT_STREQ(h.text, "Zqq crashed (#4.3.0)");
  EXPECT_EQ(h.code, -7);
}

TEST(QmailHandoff, MissingHomeIs61) {
  scratch_dir d;
  ASSERT_EQ(env_put("QMAILQUEUE=/bin/true"), 1);
  const handoff h = run("x", "a", {"b"});
  EXPECT_EQ(h.code, 61);
  EXPECT_STREQ(h.text, "Zqq trouble in home directory (#4.3.0)");
}

TEST(QmailHandoff, EmptyQueueVariableCannotBeExecuted) {
  scratch_dir d;
  std::filesystem::create_directory("qmail-home");
  ASSERT_EQ(env_put("QMAILQUEUE="), 1);
  const handoff h = run("x", "a", {"b"});
  EXPECT_EQ(h.code, 120);
  EXPECT_STREQ(h.text, "Zunable to exec qq (#4.3.0)");
}

TEST(QmailHandoff, QueueProgramThatReadsNothingSetsTheErrorFlag) {
  scratch_dir d;
  std::filesystem::create_directory("qmail-home");
  ASSERT_EQ(env_put("QMAILQUEUE=/bin/true"), 1);
  // More than a pipe holds, to a program that exits 0 without reading.
  const handoff h = run(std::string(1 << 20, 'm'), "a", {"b"});
  EXPECT_EQ(h.code, 0);
  EXPECT_STREQ(h.text, "Zqq read error (#4.3.0)");
}

} // namespace
