// The quarantine file: what the reader takes for complete, of what the
// writer made and of each way to spoil that.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <tuple>

#include "../lib/scratch_dir.h"
#include "quarantine_file.h"

using namespace std::string_literals;

namespace {

const std::string env = "Fa@x\0Tb@y\0\0"s, answer = "X-ZELM-Spam: Yes\r\n", msg = "S: s\n\n\0b\n"s;

std::string field(const char *name, size_t n) {
  char s[64];
  std::snprintf(s, sizeof s, "\n%s %020zu\n", name, n);
  return s;
}
std::string with(std::string s, const std::string &from, const std::string &to) {
  return s.replace(s.find(from), from.size(), to);
}

// A message with NUL bytes, client text that would add a line of its own.
std::string written(bool ended) {
  const int fd = memfd_create("quarantine", MFD_CLOEXEC);
  EXPECT_EQ(quarantine_begin(fd, "Fa@x\0Tb@y\0"s, answer, "1\nmessage 0", "rule\r\nanswer 1"), 0);
  EXPECT_EQ(write(fd, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
  EXPECT_EQ(ended ? quarantine_end(fd, msg.size()) : 0, 0);
  std::string s(lseek(fd, 0, SEEK_END), 0);
  EXPECT_EQ(pread(fd, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
  close(fd);
  return s;
}

TEST(Quarantine, Read) {
  const std::string good = written(true), e = field("envelope", env.size()),
                    m = field("message", msg.size());
  const struct {
    const char *name;
    std::string bytes;
    const char *why; // null: read as complete
  } rows[] = {
      {"as written", good, nullptr},
      {"message length left", written(false), "incomplete: the message length was never written"},
      {"wrong magic", with(good, "quarantine 1", "quarantine 2"), "not a quarantine file"},
      {"empty", "", "incomplete: the header is cut short"},
      {"header cut", good.substr(0, 60), "incomplete: the header is cut short"},
      {"truncated", good.substr(0, good.size() - 1), "incomplete: shorter than its header says"},
      {"trailing bytes", good + "x", "not a quarantine file: longer than its header says"},
      {"lengths moved between parts",
       with(with(good, e, field("envelope", 12)), m, field("message", msg.size() - 1)),
       "not a quarantine file: bad envelope"},
      {"length past 2^62", with(good, m, "\nmessage 99999999999999999999\n"),
       "not a quarantine file: bad lengths"},
      {"a length twice", with(good, "\nip ", field("answer", 0) + "ip "),
       "not a quarantine file: bad lengths"},
      {"control byte", with(good, "ip 1", "ip \r"), "not a quarantine file: bad header line"},
      {"no end of header", good.substr(0, 25) + std::string(4096, 'a'),
       "not a quarantine file: no end of header"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const int fd = memfd_create("quarantine", MFD_CLOEXEC);
    ASSERT_EQ(write(fd, r.bytes.data(), r.bytes.size()), static_cast<ssize_t>(r.bytes.size()));
    quarantine_info q = {};
    EXPECT_EQ(quarantine_read(fd, &q), r.why ? -1 : 0);
    EXPECT_STREQ(q.why, r.why);
    close(fd);
    if (r.why) continue;
    EXPECT_EQ(std::string(q.envelope.s, q.envelope.len), env);
    EXPECT_EQ(r.bytes.substr(q.answer_at, q.answer_len), answer);
    EXPECT_EQ(r.bytes.substr(q.message_at, q.message_len + 1), msg);
  }
}

// "<dir>/<unix time>.<pid>.XXXXXX", mode 0600, when it fits; no file in
// "/" for an empty folder.
TEST(Quarantine, Create) {
  const scratch_dir d;
  const std::string dir = d.path.string(), pid = std::to_string(getpid());
  const size_t fits = dir.size() + 20 + pid.size();
  for (const auto &[in, size, error] :
       {std::tuple{dir, fits, 0}, {dir, fits - 1, ENAMETOOLONG}, {std::string(), fits, ENOENT}}) {
    std::string name(size, '?');
    errno = 0;
    const int fd = quarantine_create(in, name.data(), size);
    struct stat st;
    EXPECT_EQ(fd == -1 ? errno : fstat(fd, &st) ? -1 : st.st_mode & 07777, error ? error : 0600);
    EXPECT_TRUE(error ||
                (std::stoul(name.substr(dir.size() + 1, 10)) + 5 > unsigned(time(nullptr)) &&
                 name.substr(dir.size() + 11, pid.size() + 2) == "." + pid + "."))
        << name;
    if (fd != -1) close(fd);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

} // namespace
