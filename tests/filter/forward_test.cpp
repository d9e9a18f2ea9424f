// What reaches the queue program: the message byte for byte, the envelope
// rewritten in queue form, and nothing of the filter's own.
#include <algorithm>
#include <set>
#include <sstream>

#include "harness.h"

namespace {

enum class shape { headed, no_blank, nuls };

std::string make_message(size_t size, shape s) {
  std::string m = s == shape::no_blank ? "" : "Subject: test\n\n";
  for (size_t i = 0; m.size() < size; ++i) m += i % 61 == 60 ? '\n' : char('a' + i % 26);
  m.resize(size);
  if (s == shape::nuls) {
    // In the header, right behind it, and on both sides of the point where
    // the message stops fitting in memory.
    for (size_t at : {size_t{3}, size_t{15}, size_t{31998}, size_t{31999}, size_t{32000},
                      size_t{32001}, size - 1})
      if (at < size) m[at] = '\0';
    for (size_t at = 4096; at < size; at += 4093) m[at] = '\0';
  }
  return m;
}

TEST(Forward, MessageReachesQueueByteForByte) {
  const size_t big = 5 * 1024 * 1024 + 7;
  struct { size_t size; shape s; } cases[] = {
      {0, shape::headed},
      {1, shape::no_blank},
      {31999, shape::headed}, {31999, shape::no_blank}, {31999, shape::nuls},
      {32000, shape::headed}, {32000, shape::no_blank}, {32000, shape::nuls},
      {big, shape::headed}, {big, shape::no_blank}, {big, shape::nuls},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, shape " << int(c.s));
    qmail_home h;
    const std::string msg = make_message(c.size, c.s);
    const auto r = run_filter(h, {.message = msg, .envelope = envelope({"Fa@x", "Tb@y"})});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.output, "");
    EXPECT_TRUE(same_bytes(h.record("message"), msg));
    EXPECT_EQ(h.record("envelope"), queue_envelope("a@x", {"b@y"}));
    EXPECT_FALSE(std::filesystem::exists(r.workdir));
  }
}

std::vector<std::string> rcpts(int n) {
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i) v.push_back("r" + std::to_string(i) + "@y");
  return v;
}

std::vector<std::string> items(char letter, const std::vector<std::string> &addrs) {
  std::vector<std::string> v;
  for (const auto &a : addrs) v.push_back(letter + a);
  return v;
}

TEST(Forward, Envelope) {
  const std::string a498(498, 'a'), a499(499, 'a');
  auto with_sender = [](std::vector<std::string> v) {
    v.insert(v.begin(), "Fs@x");
    return v;
  };
  struct {
    const char *name;
    std::string in;
    int code;
    std::string out; // when the queue program runs
  } cases[] = {
      {"sender and two recipients", envelope({"Fa", "Tb", "Tc"}), 0,
       queue_envelope("a", {"b", "c"})},
      {"sender after recipient", envelope({"Tb", "Fa"}), 0, queue_envelope("a", {"b"})},
      {"null sender", envelope({"F", "Tb"}), 0, queue_envelope("", {"b"})},
      {"no sender item", envelope({"Tb"}), 0, queue_envelope("", {"b"})},
      {"empty recipient", envelope({"Fa", "T"}), 0, queue_envelope("a", {})},
      {"other letters skipped", envelope({"Xz", "Fa", "Qq", "Tb"}), 0,
       queue_envelope("a", {"b"})},
      {"end of input without closing item", envelope({"Fa", "Tb"}, false), 0,
       queue_envelope("a", {"b"})},
      {"item cut off by end of input", envelope({"Fa", "Tb"}, false) + "Tc", 0,
       queue_envelope("a", {"b"})},
      {"items behind the closing one ignored", envelope({"Fa", "Tb"}) + envelope({"Tc"}),
       0, queue_envelope("a", {"b"})},
      {"255 recipients", envelope(with_sender(items('T', rcpts(255)))), 0,
       queue_envelope("s@x", rcpts(255))},
      {"300 recipients keep the first 255", envelope(with_sender(items('T', rcpts(300)))),
       0, queue_envelope("s@x", rcpts(255))},
      {"longest address", envelope({"F" + a498, "T" + a498}), 0,
       queue_envelope(a498, {a498})},
      {"sender too long", envelope({"F" + a499, "Tb"}), 11, ""},
      {"recipient too long", envelope({"Fa", "T" + a499}), 11, ""},
      {"recipient far too long", envelope({"Fa", "T" + std::string(5000, 'b')}), 11, ""},
      {"sender without recipient item", envelope({"Fa"}), 91, ""},
      {"second sender", envelope({"Fa", "Fb", "Tc"}), 91, ""},
      {"closing item first", envelope({}) + envelope({"Fa", "Tb"}), 91, ""},
      {"sender and recipient empty", envelope({"F", "T"}), 54, ""},
      {"empty envelope", "", 54, ""},
      {"only skipped items", envelope({"Xa"}, false), 54, ""},
  };
  for (const auto &c : cases) {
    for (size_t size : {size_t{100}, size_t{40000}}) {
      SCOPED_TRACE(testing::Message() << c.name << ", message of " << size);
      qmail_home h;
      const std::string msg = make_message(size, shape::headed);
      const auto r = run_filter(h, {.message = msg, .envelope = c.in});
      EXPECT_EQ(r.code, c.code) << r;
      EXPECT_EQ(r.output, "");
      if (c.code == 0) {
        EXPECT_EQ(h.record("envelope"), c.out);
        EXPECT_TRUE(same_bytes(h.record("message"), msg));
      } else {
        EXPECT_FALSE(h.record("argv0")) << "queue program started";
      }
      EXPECT_FALSE(std::filesystem::exists(r.workdir));
    }
  }
}

std::set<int> fd_set(const std::string &list) {
  std::set<int> s;
  std::istringstream in(list);
  for (int fd; in >> fd;) s.insert(fd);
  return s;
}

TEST(Forward, QueueProgramStartedAsQmailWould) {
  // An inherited QMAILQUEUE must not decide which program runs.
  for (size_t size : {size_t{10}, size_t{40000}}) {
    SCOPED_TRACE(size);
    qmail_home h;
    const auto r = run_filter(h, {.message = make_message(size, shape::headed),
                                  .envelope = envelope({"Fa", "Tb"}),
                                  .env = {"QMAILQUEUE=/nonexistent"}});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(h.record("argv0"), FAKE_QUEUE);
    EXPECT_EQ(h.record("cwd"), std::filesystem::canonical(QMAIL_HOME).string());
    const auto fds = h.record("fds");
    ASSERT_TRUE(fds);
    EXPECT_EQ(fd_set(*fds), (std::set<int>{0, 1, 2})) << *fds;
  }
}

} // namespace
