#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "getln.h"
#include "stralloc.h"
#include "substdio.h"

namespace {

// A recording write operation and a scripted read operation: the stream's
// pluggable operation is the seam.
std::vector<size_t> writes;
std::string written;
ssize_t recordwrite(int, char *buf, size_t len) {
  writes.push_back(len);
  written.append(buf, len);
  return static_cast<ssize_t>(len);
}

std::vector<std::string> chunks;
size_t next_chunk;
ssize_t scriptedread(int, char *buf, size_t len) {
  if (next_chunk == chunks.size()) return 0;
  std::string &c = chunks[next_chunk];
  const size_t n = std::min(len, c.size());
  c.copy(buf, n);
  c.erase(0, n);
  if (c.empty()) ++next_chunk;
  return static_cast<ssize_t>(n);
}

void script(std::vector<std::string> c) {
  chunks = std::move(c);
  next_chunk = 0;
}

TEST(SubstdioPut, DirectWriteChunking) {
  struct { int cap; int len; std::vector<size_t> direct; int kept; } cases[] = {
      {1024, 20000, {8192, 8192, 3616}, 0},
      {1024, 9000, {8192}, 808},
      {512, 512, {}, 512},
      {16384, 40000, {16384, 16384}, 7232},
  };
  for (const auto &c : cases) {
    std::vector<char> buf(c.cap);
    substdio ss;
    substdio_fdbuf(&ss, recordwrite, 1, buf.data(), c.cap);
    writes.clear();
    written.clear();
    const std::string data(c.len, 'x');
    ASSERT_EQ(substdio_put(&ss, data.data(), c.len), 0);
    EXPECT_EQ(writes, c.direct) << "capacity " << c.cap << " length " << c.len;
    EXPECT_EQ(ss.pos, c.kept);
    ASSERT_EQ(substdio_flush(&ss), 0);
    EXPECT_EQ(written, data);
  }
}

TEST(SubstdioPut, FlushOfNothingWritesNothingAndWaitingBytesPrecedeDirect) {
  char buf[8];
  substdio ss;
  substdio_fdbuf(&ss, recordwrite, 1, buf, sizeof buf);
  writes.clear();
  written.clear();
  EXPECT_EQ(substdio_flush(&ss), 0);
  EXPECT_TRUE(writes.empty());
  ASSERT_EQ(substdio_puts(&ss, "ab"), 0);
  ASSERT_EQ(substdio_put(&ss, "0123456789", 10), 0);
  ASSERT_EQ(substdio_flush(&ss), 0);
  EXPECT_EQ(written, "ab0123456789");
}

TEST(SubstdioGet, ShortReadIsShiftedToTheEnd) {
  script({"0123456789"});
  char buf[64];
  substdio ss;
  substdio_fdbuf(&ss, scriptedread, 0, buf, sizeof buf);
  ASSERT_EQ(substdio_feed(&ss), 10);
  EXPECT_EQ(ss.size, 54);
  EXPECT_EQ(ss.pos, 10);
  EXPECT_EQ(std::string(buf + 54, 10), "0123456789");
  char out[4];
  ASSERT_EQ(substdio_get(&ss, out, 4), 4);
  EXPECT_EQ(std::string(out, 4), "0123");
  EXPECT_EQ(ss.size + ss.pos, 64);
}

TEST(SubstdioGet, LargeRequestBypassesBuffer) {
  script({std::string(100, 'q')});
  char buf[16];
  substdio ss;
  substdio_fdbuf(&ss, scriptedread, 0, buf, sizeof buf);
  char out[100];
  EXPECT_EQ(substdio_get(&ss, out, 100), 100);
  EXPECT_EQ(ss.pos, 0);
  EXPECT_EQ(substdio_get(&ss, out, 100), 0);
}

TEST(Getln, LinesAcrossRefillsAndAtEnd) {
  struct { std::vector<std::string> input; std::vector<std::pair<std::string, int>> lines; } cases[] = {
      {{"ab", "c\nde", "f"}, {{"abc\n", 1}, {"def", 0}}},
      {{}, {{"", 0}}},
      {{std::string(200, 'L') + "\n"}, {{std::string(200, 'L') + "\n", 1}, {"", 0}}},
      {{"\n\n"}, {{"\n", 1}, {"\n", 1}, {"", 0}}},
  };
  for (const auto &c : cases) {
    script(c.input);
    char buf[16];
    substdio ss;
    substdio_fdbuf(&ss, scriptedread, 0, buf, sizeof buf);
    stralloc sa;
    for (const auto &[text, want_match] : c.lines) {
      int match = -1;
      ASSERT_EQ(getln(&ss, &sa, &match, '\n'), 0);
      EXPECT_EQ(std::string(sa.s, sa.len), text);
      EXPECT_EQ(match, want_match);
    }
  }
}

ssize_t failingread(int, char *, size_t) {
  errno = EIO;
  return -1;
}

TEST(Getln, ReadErrorIsReported) {
  char buf[16];
  substdio ss;
  substdio_fdbuf(&ss, failingread, 0, buf, sizeof buf);
  stralloc sa;
  int match;
  EXPECT_EQ(getln(&ss, &sa, &match, '\n'), -1);
  EXPECT_EQ(errno, EIO);
}

} // namespace
