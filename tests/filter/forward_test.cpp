// What reaches the queue program: the message and the envelope byte for
// byte, and nothing of the filter's own.
#include <algorithm>
#include <set>
#include <sstream>

#include "classify_support.h"

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
  // Built by appending: g++ 12 at -O3 warns falsely on "r" + std::string.
  for (int i = 0; i < n; ++i) v.push_back(std::string("r").append(std::to_string(i)).append("@y"));
  return v;
}

std::vector<std::string> items(char letter, const std::vector<std::string> &addrs) {
  std::vector<std::string> v;
  for (const auto &a : addrs) v.push_back(letter + a);
  return v;
}

// The queue program gets the envelope as it came, up to its closing item,
// whatever its length and order; only the rules for a broken envelope
// refuse it, each with one reason in the log.
TEST(Forward, Envelope) {
  const std::string long_from(2000, 'a'), long_to(5000, 'b');
  auto with_sender = [](std::vector<std::string> v) {
    v.insert(v.begin(), "Fs@x");
    return v;
  };
  const std::string many = envelope(with_sender(items('T', rcpts(300))));
  const std::string empty_between = envelope({"Fa", "Tb", "T", "Tc"});
  const std::string reordered = envelope({"Xz", "Tb", "Qq", "Fa", "T"});
  const std::string no_rcpt = "IP: 127.0.0.1 - envelope ends before its first recipient (exit 91)";
  const std::string two_senders = "IP: 127.0.0.1 - envelope with a second sender (exit 91)";
  const std::string empty = "IP: 127.0.0.1 - envelope with neither sender nor recipient (exit 54)";
  const std::string cut = "IP: 127.0.0.1 - envelope cut off before its end (exit 54)";
  struct {
    const char *name;
    std::string in;
    int code;
    std::string out; // what the queue program gets, or the log line
  } cases[] = {
      {"sender and two recipients", envelope({"Fa", "Tb", "Tc"}), 0,
       queue_envelope("a", {"b", "c"})},
      {"null sender", envelope({"F", "Tb"}), 0, queue_envelope("", {"b"})},
      {"no sender item", envelope({"Tb"}), 0, envelope({"Tb"})},
      {"empty recipient", envelope({"Fa", "T"}), 0, queue_envelope("a", {""})},
      {"empty recipient between others", empty_between, 0, empty_between},
      {"empty first recipient, with sender", envelope({"Fa", "T", "Tb"}), 0,
       envelope({"Fa", "T", "Tb"})},
      {"order and other letters kept", reordered, 0, reordered},
      {"end of input without closing item", envelope({"Fa", "Tb"}, false), 54, cut},
      {"item cut off by end of input", envelope({"Fa", "Tb"}, false) + "Tc", 54, cut},
      {"items behind the closing one ignored", envelope({"Fa", "Tb"}) + envelope({"Tc"}), 0,
       queue_envelope("a", {"b"})},
      {"300 recipients", many, 0, many},
      {"long addresses", envelope({"F" + long_from, "T" + long_to}), 0,
       queue_envelope(long_from, {long_to})},
      {"sender without recipient item", envelope({"Fa"}), 91, no_rcpt},
      {"second sender", envelope({"Fa", "Fb", "Tc"}), 91, two_senders},
      {"closing item first", envelope({}) + envelope({"Fa", "Tb"}), 91, no_rcpt},
      {"sender and recipient empty", envelope({"F", "T"}), 54, empty},
      {"sender and first recipient empty", envelope({"F", "T", "Tb"}), 0,
       envelope({"F", "T", "Tb"})},
      {"sender and every recipient empty", envelope({"F", "T", "T"}), 54, empty},
      {"empty envelope", "", 54, cut},
      {"only skipped items", envelope({"Xa"}, false), 54, cut},
      {"only skipped items, closed", envelope({"Xa"}), 91, no_rcpt},
  };
  for (const auto &c : cases) {
    for (size_t size : {size_t{100}, size_t{40000}}) {
      SCOPED_TRACE(testing::Message() << c.name << ", message of " << size);
      qmail_home h;
      h.reads_every_message();
      const std::string msg = make_message(size, shape::headed);
      const auto got = run_caught(h, {.message = msg, .envelope = c.in});
      EXPECT_EQ(got.run.code, c.code) << got.run;
      EXPECT_EQ(got.run.output, "");
      if (c.code == 0) {
        EXPECT_EQ(h.record("envelope"), c.out);
        EXPECT_TRUE(same_bytes(h.record("message"), msg));
        EXPECT_LOGGED(got, {});
      } else {
        EXPECT_FALSE(h.record("argv0")) << "queue program started";
        EXPECT_LOGGED(got, {c.out});
      }
      EXPECT_FALSE(std::filesystem::exists(got.run.workdir));
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
