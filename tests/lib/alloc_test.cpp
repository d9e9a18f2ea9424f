#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "error.h"

namespace {

#ifndef ZELMD_ALLOC_HEAP
TEST(Alloc, ArenaCarvesSixteenByteUnitsFromTheTop) {
  const uint32_t before = alloc_avail();
  ASSERT_GE(before, 64u);
  struct { uint32_t n; uint32_t taken; } cases[] = {{0, 16}, {15, 16}, {16, 32}, {17, 32}};
  for (const auto &c : cases) {
    const uint32_t a = alloc_avail();
    char *p = static_cast<char *>(alloc(c.n));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(a - alloc_avail(), c.taken) << "request " << c.n;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    alloc_free(p); // arena blocks are never reclaimed
    EXPECT_EQ(a - alloc_avail(), c.taken);
  }
}

TEST(Alloc, FullArenaFallsBackToHeapAndStillServesWhatFits) {
  // Use up the arena with small blocks, leaving exactly 32 bytes.
  while (alloc_avail() > 32) ASSERT_NE(alloc(7), nullptr);
  ASSERT_EQ(alloc_avail(), 32u);
  void *big = alloc(100); // does not fit: heap
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(alloc_avail(), 32u);
  std::memset(big, 1, 100);
  alloc_free(big);
  ASSERT_NE(alloc(31), nullptr); // fits exactly: arena again
  EXPECT_EQ(alloc_avail(), 0u);
  void *p = alloc(0);
  ASSERT_NE(p, nullptr);
  alloc_free(p);
}
#endif

TEST(Alloc, SizesNearTheTopOfTheRangeAreOutOfMemory) {
  for (const uint32_t n : {UINT32_MAX, UINT32_MAX - 1, UINT32_MAX - 15}) {
    errno = 0;
    EXPECT_EQ(alloc(n), nullptr) << n;
    EXPECT_EQ(errno, error_nomem);
  }
}

TEST(Alloc, ReallocMovesContentAndKeepsOldOnFailure) {
  char *p = static_cast<char *>(alloc(5));
  std::memcpy(p, "hello", 5);
  ASSERT_EQ(alloc_re(&p, 5, 5000), 1);
  EXPECT_EQ(std::memcmp(p, "hello", 5), 0);
  char *old = p;
  EXPECT_EQ(alloc_re(&p, 5000, UINT32_MAX), 0);
  EXPECT_EQ(p, old);
  EXPECT_EQ(std::memcmp(p, "hello", 5), 0);
  alloc_free(p);
}

} // namespace
