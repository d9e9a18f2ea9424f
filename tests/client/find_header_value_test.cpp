#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zelmd_response.h"

namespace {

struct lookup {
  const char *answer;
  const char *name;
  int found;
  const char *value;
};

TEST(FindHeaderValue, ByteRules) {
  const lookup cases[] = {
      {"X-ZELM-Spam: Bulk\r\n", "X-ZELM-Spam", 1, "Bulk"},
      {"X-ZELM-Spam:Bulk\r\n", "X-ZELM-Spam", 1, "Bulk"},
      {"X-ZELM-Spam : Bu lk \r\n", "X-ZELM-Spam", 1, "Bulk"},
      {"X-ZELM-Spam: a:b:c\r\n", "X-ZELM-Spam", 1, "abc"},
      {"X-ZELM-Spam:\tBulk\r\n", "X-ZELM-Spam", 1, "\tBulk"},
      {"X-ZELM-Spam: \xe4\x01\r\n", "X-ZELM-Spam", 1, "\xe4\x01"},
      {"X-ZELM-Spam: \r\n", "X-ZELM-Spam", 1, ""},
      {"X-ZELM-Spam: Bulk\n", "X-ZELM-Spam", 0, ""},          // bare line feed
      {"X-ZELM-Spam: Bulk", "X-ZELM-Spam", 0, ""},            // no line end at all
      {"x-zelm-spam: Bulk\r\n", "X-ZELM-Spam", 0, ""},        // letter case counts
      {"X-ZELM-SenderID-Flags: 2\r\n", "X-ZELM-SenderID", 0, ""},
      {"X-ZELM-SenderID: a\r\n", "X-ZELM-SenderID-Flags", 0, ""},
      {"X-ZELM-Spam: one\r\nX-ZELM-Spam: two\r\n", "X-ZELM-Spam", 1, "one"},
      {"X-ZELM-VOD: Clean\nX-ZELM-Spam: None\r\n", "X-ZELM-Spam", 1, "None"},
      {"\r\nX-ZELM-Spam: None\r\n", "X-ZELM-Spam", 1, "None"},
      {"X-ZELM-Spam\r\n", "X-ZELM-Spam", 0, ""},              // no colon, no name
      {"HTTP/1.1 200 OK\r\nX-ZELM-Spam: x\r\n", "X-ZELM-Spam", 1, "x"},
      {"", "X-ZELM-Spam", 0, ""},
  };
  for (const lookup &c : cases) {
    stralloc value = {};
    EXPECT_EQ(find_header_value(c.answer, c.name, &value), c.found) << c.answer;
    if (c.found) {
      ASSERT_NE(value.s, nullptr);
      EXPECT_STREQ(value.s, c.value) << c.answer; // held as NUL-terminated text
    } else {
      EXPECT_EQ(value.len, 0u) << c.answer;
    }
  }
}

} // namespace
