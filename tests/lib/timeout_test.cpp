#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "error.h"
#include "fd.h"
#include "timeoutio.h"

namespace {

struct pipe_pair {
  fd_owner r, w;
  pipe_pair() {
    int p[2];
    EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    r = fd_owner(p[0]);
    w = fd_owner(p[1]);
  }
};

TEST(TimeoutRead, SilentPipeTimesOutWithoutReading) {
  pipe_pair p;
  char c;
  EXPECT_EQ(timeoutread(1, p.r.get(), &c, 1), -1);
  EXPECT_EQ(errno, error_timeout);
  ASSERT_EQ(write(p.w.get(), "x", 1), 1);
  EXPECT_EQ(timeoutread(1, p.r.get(), &c, 1), 1); // the byte was not eaten
  EXPECT_EQ(c, 'x');
}

TEST(TimeoutRead, EndOfInputAndHighDescriptors) {
  pipe_pair p;
  // A descriptor number beyond select's limit works.
  fd_owner high(fcntl(p.r.get(), F_DUPFD_CLOEXEC, 1500));
  if (!high.ok()) GTEST_SKIP() << "descriptor limit below 1500";
  ASSERT_EQ(write(p.w.get(), "ab", 2), 2);
  p.w.reset();
  char buf[8];
  EXPECT_EQ(timeoutread(5, high.get(), buf, sizeof buf), 2);
  EXPECT_EQ(timeoutread(5, high.get(), buf, sizeof buf), 0);
}

} // namespace
