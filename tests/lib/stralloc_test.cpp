#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "scan.h"
#include "stralloc.h"

namespace {

std::string str(const stralloc &sa) { return std::string(sa.s, sa.len); }

TEST(Stralloc, GrowthFigures) {
  stralloc sa;
  ASSERT_EQ(stralloc_copys(&sa, "abc"), 1);
  EXPECT_EQ(sa.a, 4u); // exactly len + 1 on first allocation
  EXPECT_EQ(sa.len, 3u);
  EXPECT_EQ(sa.s[3], 'Z');
  ASSERT_EQ(stralloc_cats(&sa, "d"), 1);
  EXPECT_EQ(sa.a, 35u); // need 5: 5 + 0 + 30
  EXPECT_EQ(str(sa), "abcd");

  stralloc big;
  ASSERT_EQ(stralloc_copys(&big, "x"), 1);
  ASSERT_EQ(stralloc_ready(&big, 100), 1);
  EXPECT_EQ(big.a, 142u); // 100 + 12 + 30
  EXPECT_EQ(str(big), "x");
}

TEST(Stralloc, CopyOfNothingStillAllocatesAndMarks) {
  stralloc sa;
  ASSERT_EQ(stralloc_copyb(&sa, "", 0), 1);
  ASSERT_NE(sa.s, nullptr);
  EXPECT_EQ(sa.len, 0u);
  EXPECT_EQ(sa.s[0], 'Z');
}

TEST(Stralloc, AppendNulMakesTerminatedTextAndKeepsEmbeddedNuls) {
  stralloc sa;
  ASSERT_EQ(stralloc_catb(&sa, "a\0b", 3), 1);
  ASSERT_EQ(stralloc_append(&sa, ""), 1);
  EXPECT_EQ(sa.len, 4u);
  EXPECT_EQ(std::memcmp(sa.s, "a\0b\0", 4), 0);
  stralloc other;
  ASSERT_EQ(stralloc_copy(&other, &sa), 1);
  ASSERT_EQ(stralloc_cat(&other, &sa), 1);
  EXPECT_EQ(str(other), std::string("a\0b\0a\0b\0", 8));
}

TEST(Stralloc, OverflowingGrowthFailsAndLeavesStringIntact) {
  stralloc sa;
  ASSERT_EQ(stralloc_copys(&sa, "keep"), 1);
  const uint32_t a = sa.a;
  char *s = sa.s;
  EXPECT_EQ(stralloc_readyplus(&sa, UINT32_MAX - 2), 0);
  EXPECT_EQ(stralloc_ready(&sa, UINT32_MAX - 100), 0);
  EXPECT_EQ(stralloc_catb(&sa, "x", UINT32_MAX), 0);
  EXPECT_EQ(sa.a, a);
  EXPECT_EQ(sa.s, s);
  EXPECT_EQ(str(sa), "keep");
}

TEST(ScanUlong, DigitsAtTheStartOnly) {
  struct { const char *in; uint32_t digits; uint64_t value; } cases[] = {
      {"12ab", 2, 12},
      {"a1", 0, 0},
      {" 1", 0, 0},
      {"-1", 0, 0},
      {"+1", 0, 0},
      {"", 0, 0},
      {"4294967295", 10, 4294967295u},
      {"123456789012345678901", 21, 12776324570088369205ull}, // modulo 2^64
  };
  for (const auto &c : cases) {
    uint64_t u = 99;
    EXPECT_EQ(scan_ulong(c.in, &u), c.digits) << c.in;
    EXPECT_EQ(u, c.value) << c.in;
  }
}

} // namespace
