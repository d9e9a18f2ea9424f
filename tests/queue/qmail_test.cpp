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
#include <sys/wait.h>
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
  int flag_error;
  int wstat;
};

handoff run(const std::string &message, const std::string &envelope,
            const char *program = "bin/qmail-queue") {
  qmail_handle qq;
  if (qmail_open(&qq, program) == -1) return {-1, -1};
  qmail_put(&qq, message.data(), static_cast<int>(message.size()));
  qmail_envelope(&qq, envelope.data(), static_cast<uint32_t>(envelope.size()));
  return {qq.flag_error, qmail_close(&qq) == 0 ? qq.wstat : -1};
}

int code(const handoff &h) { return WIFEXITED(h.wstat) ? WEXITSTATUS(h.wstat) : -1; }

TEST(QmailHandoff, StreamsMessageAndEnvelopeByteForByte) {
  scratch_dir d;
  write_recorder(d);
  std::string message;
  for (int i = 0; i < 300000; ++i) message += static_cast<char>(i * 7);
  const handoff h = run(message, "Fa@b\0Tc@d\0Te@f\0"s);
  EXPECT_EQ(h.flag_error, 0);
  EXPECT_EQ(code(h), 0);
  EXPECT_EQ(slurp("message"), message);
  EXPECT_EQ(slurp("envelope"), "Fa@b\0Tc@d\0Te@f\0\0"s);
}

TEST(QmailHandoff, FileContentFollowsBufferedBytes) {
  // From a regular file the kernel moves the bytes; from a pipe the
  // fallback reads them. Either way they follow what was put before.
  scratch_dir d;
  write_recorder(d);
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
    ASSERT_EQ(qmail_open(&qq, "bin/qmail-queue"), 0);
    qmail_puts(&qq, "head:");
    EXPECT_EQ(qmail_putfile(&qq, src.get()), 0);
    qmail_envelope(&qq, "Fa\0", 3);
    ASSERT_EQ(qmail_close(&qq), 0);
    EXPECT_EQ(qq.flag_error, 0);
    EXPECT_EQ(slurp("message"), "head:" + content) << (from_pipe ? "pipe" : "file");
  }
}

TEST(QmailHandoff, ExitCodesPassedOn) {
  scratch_dir d;
  write_recorder(d);
  for (const int c : {0, 11, 31, 53, 71, 91, 121}) {
    ASSERT_EQ(env_put(("QQ_EXIT=" + std::to_string(c)).c_str()), 1);
    EXPECT_EQ(code(run("x", "Fa\0Tb\0"s)), c);
  }
}

TEST(QmailHandoff, KilledQueueProgram) {
  scratch_dir d;
  write_recorder(d);
  ASSERT_EQ(env_put("QQ_KILL=1"), 1);
  const handoff h = run("x", "Fa\0Tb\0"s);
  EXPECT_TRUE(WIFSIGNALED(h.wstat));
}

TEST(QmailHandoff, MissingHomeIs61AndNoProgram120) {
  scratch_dir d;
  EXPECT_EQ(code(run("x", "Fa\0Tb\0"s, "/bin/true")), 61);
  std::filesystem::create_directory("qmail-home");
  EXPECT_EQ(code(run("x", "Fa\0Tb\0"s, "")), 120);
}

TEST(QmailHandoff, QueueProgramThatReadsNothingSetsTheErrorFlag) {
  scratch_dir d;
  std::filesystem::create_directory("qmail-home");
  // More than a pipe holds, to a program that exits 0 without reading.
  const handoff h = run(std::string(1 << 20, 'm'), "Fa\0Tb\0"s, "/bin/true");
  EXPECT_EQ(code(h), 0);
  EXPECT_EQ(h.flag_error, 1);
}

} // namespace
