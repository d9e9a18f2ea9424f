#include <gtest/gtest.h>

#include "byte.h"
#include "str.h"

namespace {

int sign(int x) { return (x > 0) - (x < 0); }

TEST(Str, DiffComparesUnsignedAndPrefixesLow) {
  struct { const char *s, *t; int sign; } cases[] = {
      {"abc", "abc", 0}, {"ab", "abc", -1}, {"abc", "ab", 1},
      {"\xff", "a", 1},  {"", "", 0},      {"localhost", "LOCALHOST", 1},
  };
  for (const auto &c : cases) EXPECT_EQ(sign(str_diff(c.s, c.t)), c.sign) << c.s << " " << c.t;
  EXPECT_EQ(str_diffn("abcx", "abcy", 3), 0);
  EXPECT_EQ(str_diffn("a", "b", 0), 0);
  EXPECT_EQ(str_diffn("ab", "ab", 10), 0);
}

TEST(Byte, ChrAndOverlappingCopies) {
  EXPECT_EQ(byte_chr("abc", 0, 'a'), 0u);
  EXPECT_EQ(byte_chr("abc", 3, 'c'), 2u);
  EXPECT_EQ(byte_chr("a\0c", 3, 0), 1u);
  EXPECT_EQ(byte_chr("abc", 3, 'x'), 3u);
  char buf[] = "abcdef";
  byte_copyr(buf + 2, 4, buf); // towards higher addresses
  EXPECT_STREQ(buf, "ababcd");
  char buf2[] = "abcdef";
  byte_copy(buf2, 4, buf2 + 2); // towards lower addresses
  EXPECT_STREQ(buf2, "cdefef");
}

} // namespace
