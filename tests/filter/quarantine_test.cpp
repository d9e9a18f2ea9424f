// The quarantine file: what the reader takes for complete, and what the
// writer makes of a message with NUL bytes and of forged header text.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "../lib/scratch_dir.h"
#include "quarantine_file.h"

using namespace std::string_literals;

namespace {

int file_of(const std::string &bytes) {
  const int fd = memfd_create("quarantine", MFD_CLOEXEC);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  return fd;
}
std::string field(size_t n) {
  char s[21];
  std::snprintf(s, sizeof s, "%020zu", n);
  return s;
}

const std::string env = "Fa@x\0Tb@y\0\0"s, answer = "X-ZELM-Spam: Confirmed\r\n",
                  msg = "S: s\n\n\0b\n"s;
std::string file(std::string e = field(env.size()), std::string m = field(msg.size()),
                 const std::string &extra = "ip 1.2.3.4\n") {
  return "qmail-zelmd quarantine 1\nenvelope " + e + "\nanswer " + field(answer.size()) +
         "\nmessage " + m + "\n" + extra + "\n" + env + answer + msg;
}

TEST(Quarantine, Read) {
  const std::string good = file();
  const struct {
    const char *name;
    std::string bytes;
    const char *why; // null: read as complete
  } rows[] = {
      {"good", good, nullptr},
      {"wrong magic", "qmail-zelmd quarantine 2" + good.substr(24), "not a quarantine file"},
      {"empty", "", "incomplete: the header is cut short"},
      {"header cut", good.substr(0, 60), "incomplete: the header is cut short"},
      {"truncated", good.substr(0, good.size() - 1), "incomplete: shorter than its header says"},
      {"trailing bytes", good + "x", "not a quarantine file: longer than its header says"},
      {"lengths moved between parts", file(field(env.size() + 1), field(msg.size() - 1)),
       "not a quarantine file: bad envelope"},
      {"envelope without its closing item", file(field(env.size() - 1), field(msg.size() + 1)),
       "not a quarantine file: bad envelope"},
      {"length past 2^62", file(field(env.size()), "99999999999999999999"),
       "not a quarantine file: bad lengths"},
      {"placeholder left", file(field(env.size()), "unfinished----------"),
       "incomplete: the message length was never written"},
      {"a length twice", file(field(env.size()), field(msg.size()), "answer " + field(0) + "\n"),
       "not a quarantine file: bad lengths"},
      {"control byte", file(field(env.size()), field(msg.size()), "ip 1\r\n"),
       "not a quarantine file: bad header line"},
      {"no end of header", good.substr(0, 25) + std::string(4096, 'a'),
       "not a quarantine file: no end of header"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const int fd = file_of(r.bytes);
    quarantine_info q = {};
    EXPECT_EQ(quarantine_read(fd, &q), r.why ? -1 : 0);
    EXPECT_STREQ(q.why, r.why);
    if (!r.why) {
      EXPECT_EQ(std::string(q.envelope.s, q.envelope.len), env);
    }
    close(fd);
  }
}

// Written as the filter writes it: header, then the message, then its
// length. Client text cannot add a header line of its own.
TEST(Quarantine, RoundTrip) {
  const int fd = memfd_create("quarantine", MFD_CLOEXEC);
  ASSERT_EQ(quarantine_begin(fd, "Fa@x\0Tb@y\0"s, answer, "1.2.3.4\nmessage " + field(0),
                             "rule\r\nanswer 1"),
            0);
  ASSERT_EQ(write(fd, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
  quarantine_info q = {};
  EXPECT_EQ(quarantine_read(fd, &q), -1);
  EXPECT_STREQ(q.why, "incomplete: the message length was never written");
  ASSERT_EQ(quarantine_end(fd, msg.size()), 0);
  ASSERT_EQ(quarantine_read(fd, &q), 0) << q.why;
  EXPECT_EQ(std::string(q.envelope.s, q.envelope.len), env);
  for (const auto &[at, part] : {std::pair{q.answer_at, answer}, {q.message_at, msg}}) {
    std::string got(part.size(), 'x');
    EXPECT_EQ(pread(fd, got.data(), got.size(), static_cast<off_t>(at)), ssize_t(part.size()));
    EXPECT_EQ(got, part);
  }
  close(fd);
}

TEST(Quarantine, Create) {
  const scratch_dir d;
  const std::string dir = d.path.string();
  const struct {
    const char *name;
    std::string dir;
    size_t size;
    int error; // 0: made
  } rows[] = {
      {"made", dir, dir.size() + 40, 0},
      {"name one byte too long", dir, dir.size() + 19 + std::to_string(getpid()).size(),
       ENAMETOOLONG},
      {"empty folder", "", 64, ENOENT},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::string name(r.size, '?');
    errno = 0;
    const int fd = quarantine_create(r.dir, name.data(), r.size);
    EXPECT_EQ(fd == -1 ? errno : 0, r.error);
    if (fd == -1) continue;
    struct stat st;
    EXPECT_EQ(fstat(fd, &st) == 0 ? st.st_mode & 07777 : 0, 0600u);
    // "<dir>/<unix time>.<pid>.XXXXXX", made now.
    unsigned long t = 0;
    int pid = 0, end = 0;
    char rnd[7];
    std::sscanf(name.c_str() + dir.size(), "/%10lu.%d.%6[A-Za-z0-9]%n", &t, &pid, rnd, &end);
    EXPECT_TRUE(dir.size() + end == strlen(name.c_str()) && t + 5 > unsigned(time(nullptr)) &&
                pid == getpid())
        << name;
    close(fd);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

} // namespace
