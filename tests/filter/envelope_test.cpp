// The envelope as qmail-queue reads it, handed out a few bytes at a time
// so that reads end inside items and right after their NULs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "intake.h"

using namespace std::string_literals;

namespace {

std::string input;
size_t given, turn;

// 1 to 7 bytes a read, however many were asked for.
ssize_t pieces(int, char *buf, size_t len) {
  const size_t n = std::min({len, 1 + turn++ % 7, input.size() - given});
  std::memcpy(buf, input.data() + given, n);
  given += n;
  return static_cast<ssize_t>(n);
}

const std::string sender(600, 's');
const char *const neither = "envelope with neither sender nor recipient";
const char *const early = "envelope ends before its first recipient";

TEST(Envelope, ReadEnvelope) {
  const struct {
    const char *name;
    std::string in;
    int code;
    std::string items_or_reason; // items without the closing one, or the failure's reason
    std::string from = "";
    std::vector<std::string> to = {};
  } rows[] = {
      {"plain", "Fa@x\0Tb@y\0\0"s, 0, "Fa@x\0Tb@y\0"s, "a@x", {"b@y"}},
      {"order and other letters kept", "Xq\0Tb\0Fa\0Zz\0Tc\0\0"s, 0, "Xq\0Tb\0Fa\0Zz\0Tc\0"s, "a",
       {"b", "c"}},
      {"no sender item", "Tb\0\0"s, 0, "Tb\0"s, "", {"b"}},
      {"sender with empty recipient", "Fa\0T\0\0"s, 0, "Fa\0T\0"s, "a", {""}},
      {"a non-empty recipient anywhere", "F\0T\0Tb\0T\0\0"s, 0, "F\0T\0Tb\0T\0"s, "",
       {"", "b", ""}},
      {"bytes after the end ignored", "Fa\0Tb\0\0Fc\0junk"s, 0, "Fa\0Tb\0"s, "a", {"b"}},
      {"a long sender whole", "F" + sender + "\0Tb\0\0"s, 0, "F" + sender + "\0Tb\0"s, sender,
       {"b"}},
      {"nothing", "", 54, "envelope cut off before its end"},
      {"no closing item", "Fa\0Tb\0"s, 54, "envelope cut off before its end"},
      {"empty sender and recipients", "F\0T\0T\0\0"s, 54, neither},
      {"no sender, empty recipient", "T\0\0"s, 54, neither},
      {"second sender", "Fa\0Tb\0F\0Tc\0\0"s, 91, "envelope with a second sender"},
      {"other letters are no recipient", "Fa\0Xb\0\0"s, 91, early},
      {"end before a recipient", "Fa\0\0Tb\0\0"s, 91, early},
  };
  for (const auto &row : rows) {
    for (size_t phase = 0; phase < 7; ++phase) { // where the reads end
      SCOPED_TRACE(testing::Message() << row.name << ", phase " << phase);
      input = row.in, given = 0, turn = phase;
      char buf[8];
      substdio in = SUBSTDIO_FDBUF(pieces, 0, buf, sizeof buf);
      envelope e = {};
      failure f = {};
      EXPECT_EQ(read_envelope(&in, &e, &f), row.code);
      if (row.code) {
        EXPECT_EQ(f.code, row.code);
        EXPECT_STREQ(f.reason, row.items_or_reason.c_str());
      } else {
        EXPECT_EQ(std::string(e.items.s, e.items.len), row.items_or_reason);
        EXPECT_EQ(e.sender, row.from);
        EXPECT_EQ(std::vector<std::string>(e.recipients, e.recipients + e.recipient_count), row.to);
      }
    }
  }
}

} // namespace
