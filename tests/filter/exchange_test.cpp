// How the exchange with the daemon can go: every framing of an answer the
// filter must take, and every way it can fail, with and without
// zelmd_require_scan. Runs that wait for a deadline use 1 s.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "classify_support.h"
#include "fd.h"

namespace fs = std::filesystem;

namespace {

const std::string small = "Subject: x\n\nbody\n";
const std::string spooled = "Subject: x\n\n" + std::string(8 << 20, 'b');
const std::string lines = answer_text(inbound_answer());

// The answer lines padded with more lines to exactly size bytes.
std::string answer_of(size_t size) {
  std::string a = lines;
  while (a.size() + 80 <= size) a += "X-Pad: " + std::string(71, 'p') + "\r\n";
  return a + std::string(size - a.size(), 'q');
}

struct exchange_case {
  const char *name;
  daemon_script script;
  const std::string *message = &small;
  int timeout = 2; // control/zelmd_timeout
  std::string host = "127.0.0.1";
  bool down = false; // nothing listens at the daemon's address
  // How a failure is logged, after "daemon host:port: "; empty where the
  // kernel's timing decides between several reasons.
  std::string reason{};
};

caught run_exchange(const qmail_home &h, const exchange_case &c, int require_scan,
                    int *port = nullptr) {
  loopback_daemon d(c.script);
  const int p = c.down ? loopback_daemon::unused_port() : d.port();
  if (port) *port = p;
  point_at(h, p, c.host);
  h.control("zelmd_check_inbound", "1\n");
  h.control("zelmd_timeout", std::to_string(c.timeout) + "\n");
  h.control("zelmd_require_scan", std::to_string(require_scan) + "\n");
  return run_caught(h, d,
                    {.message = *c.message,
                     .envelope = envelope({"Fa", "Tb"}),
                     .env = {"TCPREMOTEIP=192.0.2.7"},
                     .deadline_seconds = c.timeout + 4});
}

TEST(Exchange, AnswersTaken) {
  const std::string mib = answer_of(1 << 20);
  const exchange_case cases[] = {
      {"Content-Length", {.response = http_response(lines)}},
      {"chunked", {.response = http_response(lines, framing::chunked)}},
      {"to the close", {.response = http_response(lines, framing::close)}},
      {"interim 100 first", {.response = "HTTP/1.1 100 Continue\r\n\r\n" + http_response(lines)}},
      {"bare LF framing",
       {.response =
            "HTTP/1.1 200 OK\nContent-Length: " + std::to_string(lines.size()) + "\n\n" + lines}},
      {"Content-Length, connection left open",
       {.response = http_response(lines), .keep_open = true}},
      {"chunked, connection left open",
       {.response = http_response(lines, framing::chunked), .keep_open = true}},
      {"one byte at a time",
       {.how = daemon_script::trickle, .response = http_response(lines), .pause_ms = 2}},
      {"1 MiB by length", {.response = http_response(mib)}},
      {"1 MiB chunked", {.response = http_response(mib, framing::chunked)}},
      {"1 MiB to the close", {.response = http_response(mib, framing::close)}},
      {"no time limit", {.response = http_response(lines)}, &small, 0},
      {"spooled message", {.response = http_response(lines)}, &spooled},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    const auto got = run_exchange(h, c, 1);
    EXPECT_EQ(got.run.code, 0) << got.run;
    EXPECT_TRUE(same_bytes(h.record("message"), stamped(*c.message, 11, inbound_stamp())));
    EXPECT_LOGGED(got, {"IN  IP: 192.0.2.7, From: a, sClass: Bulk, vClass: Clean, RefID: ref-42"});
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

// A failed request: with require_scan the message is refused for now and
// the queue program never starts; without, it goes on untouched. Either
// way one line says which daemon failed and how.
void expect_failure(const exchange_case &c, std::initializer_list<int> require) {
  for (int r : require) {
    SCOPED_TRACE(testing::Message() << c.name << ", require_scan " << r);
    qmail_home h;
    int port = 0;
    const auto got = run_exchange(h, c, r, &port);
    EXPECT_EQ(got.run.code, r ? 71 : 0) << got.run;
    if (r) {
      EXPECT_FALSE(h.record("argv0")) << "queue program started";
    } else {
      EXPECT_TRUE(same_bytes(h.record("message"), *c.message));
      EXPECT_EQ(h.record("envelope"), queue_envelope("a", {"b"}));
    }
    NEED_LOG(got);
    {
      const std::string head =
          "IP: 192.0.2.7 - daemon " + c.host + ":" + std::to_string(port) + ": " + c.reason;
      const std::string tail = r ? " (exit 71)" : " (passed unscanned)";
      ASSERT_EQ(got.log.size(), 1u);
      const std::string text = got.log[0].substr(got.log[0].find("]: ") + 3);
      if (c.reason.empty()) {
        EXPECT_TRUE(text.starts_with(head) && text.ends_with(tail)) << text;
      } else {
        EXPECT_EQ(text, head + tail);
      }
    }
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

TEST(Exchange, FailuresAtOnce) {
  const std::string over = answer_of((1 << 20) + 1);
  const std::string chunked = http_response(lines, framing::chunked);
  const exchange_case cases[] = {
      {"down", {}, &small, 2, "127.0.0.1", true, "connect: Connection refused"},
      {"closes at once", {.how = daemon_script::close_at_once}},
      {"closes at once on a spooled message", {.how = daemon_script::close_at_once}, &spooled},
      {"closes after the request",
       {.how = daemon_script::close_after_request},
       &small,
       2,
       "127.0.0.1",
       false,
       "answer cut short"},
      {"not HTTP",
       {.response = "X-ZELM-PVer: 1\r\n\r\n"},
       &small,
       2,
       "127.0.0.1",
       false,
       "malformed answer"},
      {"empty body",
       {.response = http_response("")},
       &small,
       2,
       "127.0.0.1",
       false,
       "empty answer"},
      {"body cut short",
       {.response = http_response(lines).substr(0, 60)},
       &small,
       2,
       "127.0.0.1",
       false,
       "answer cut short"},
      {"chunked cut short",
       {.response = chunked.substr(0, chunked.size() - 5)},
       &small,
       2,
       "127.0.0.1",
       false,
       "answer cut short"},
      {"1 MiB + 1 by length",
       {.response = http_response(over)},
       &small,
       2,
       "127.0.0.1",
       false,
       "answer over 1 MiB"},
      {"1 MiB + 1 chunked",
       {.response = http_response(over, framing::chunked)},
       &small,
       2,
       "127.0.0.1",
       false,
       "answer over 1 MiB"},
      {"1 MiB + 1 to the close",
       {.response = http_response(over, framing::close)},
       &small,
       2,
       "127.0.0.1",
       false,
       "answer over 1 MiB"},
      // An error page is no verdict, whatever its body says.
      {"status 500 with the answer lines",
       {.response = http_response(lines, framing::length, "500 Oops")},
       &small,
       2,
       "127.0.0.1",
       false,
       "status 500"},
      {"status 404 from a proxy",
       {.response = http_response("<html>gone</html>", framing::length, "404 Not Found")},
       &small,
       2,
       "127.0.0.1",
       false,
       "status 404"},
      {"status 302",
       {.response = http_response(lines, framing::length, "302 Found")},
       &small,
       2,
       "127.0.0.1",
       false,
       "status 302"},
  };
  for (const auto &c : cases) expect_failure(c, {0, 1});
  if (can_isolate())
    expect_failure(
        {"name that does not resolve", {}, &small, 2, "nowhere.test", false, "name lookup failed"},
        {0, 1});
}

// With the direction's switch off, nothing is asked and nothing logged,
// even when the other direction's switch is on.
TEST(Exchange, ClassificationOff) {
  for (const std::vector<std::string> &env : {std::vector<std::string>{}, {"RELAYCLIENT="}}) {
    SCOPED_TRACE(env.empty() ? "inbound" : "outbound");
    qmail_home h;
    loopback_daemon d({.response = http_response(lines)});
    point_at(h, d.port());
    h.control(env.empty() ? "zelmd_check_outbound" : "zelmd_check_inbound", "1\n");
    const auto got =
        run_caught(h, d, {.message = small, .envelope = envelope({"Fa", "Tb"}), .env = env});
    EXPECT_EQ(got.run.code, 0) << got.run;
    EXPECT_TRUE(got.requests.empty());
    EXPECT_TRUE(same_bytes(h.record("message"), small));
    // Not even read: the queue program took the filter's place.
    EXPECT_EQ(h.record("pid"), std::to_string(got.run.pid));
    EXPECT_LOGGED(got, {});
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

// The deadline covers the whole exchange: a daemon that never answers,
// one that stops reading a large message, one too slow in sum.
TEST(Exchange, DeadlineSilentDaemon) {
  expect_failure({"hangs",
                  {.how = daemon_script::hang},
                  &small,
                  1,
                  "127.0.0.1",
                  false,
                  "reading the answer: time-out after 1 s"},
                 {0, 1});
}

TEST(Exchange, DeadlineWhileSending) {
  expect_failure({"stops reading",
                  {.how = daemon_script::stall},
                  &spooled,
                  1,
                  "127.0.0.1",
                  false,
                  "sending the request: time-out after 1 s"},
                 {1});
}

TEST(Exchange, DeadlineSlowAnswer) {
  expect_failure(
      {"one byte every 10 ms",
       {.how = daemon_script::trickle, .response = http_response(answer_of(300)), .pause_ms = 10},
       &small,
       1,
       "127.0.0.1",
       false,
       "reading the answer: time-out after 1 s"},
      {0});
}

// A name with two addresses, 127.0.0.2 first: an address that drops
// connection attempts is left for the next after the connect limit, one
// that refuses at once; one that connects and stays silent holds the
// request to the overall limit. The reason names the address.
TEST(Exchange, ConnectLimitFailover) {
  if (!can_isolate()) GTEST_SKIP() << "needs root and mount namespaces";
  enum kind { answers, black_hole, refuses, silent };
  struct {
    const char *name;
    kind first, second;
    int connect_limit;
    std::string reason; // after "daemon multi.test:PORT"; empty: classified
  } cases[] = {
      {"first black-holed", black_hole, answers, 1, ""},
      {"first refuses", refuses, answers, 1, ""},
      {"first connects and stays silent", silent, answers, 1,
       " (127.0.0.2): reading the answer: time-out after 3 s"},
      {"no connect limit: the first takes all the time", black_hole, answers, 0,
       ": connect: 127.0.0.2: time-out after 3 s"},
      {"both black-holed", black_hole, black_hole, 1,
       ": connect: 127.0.0.2: time-out after 1 s; 127.0.0.1: time-out after 1 s"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    loopback_daemon d({.response = http_response(lines)});
    const int port = c.second == answers ? d.port() : loopback_daemon::unused_port();
    // A listener whose queue is full drops further connection attempts.
    std::vector<fd_owner> held;
    const auto listen_at = [&](const char *ip, int backlog) {
      fd_owner l(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, ip, &a.sin_addr);
      ASSERT_EQ(bind(l.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << ip;
      ASSERT_EQ(listen(l.get(), backlog), 0);
      for (int i = 0; backlog == 0 && i < 2; ++i) {
        fd_owner f(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(f.get(), reinterpret_cast<sockaddr *>(&a), sizeof a);
        held.push_back(std::move(f));
      }
      held.push_back(std::move(l));
    };
    if (c.first == black_hole) listen_at("127.0.0.2", 0);
    if (c.first == silent) listen_at("127.0.0.2", 16);
    if (c.second == black_hole) listen_at("127.0.0.1", 0);
    point_at(h, port, "multi.test");
    h.control("zelmd_check_inbound", "1\n");
    h.control("zelmd_timeout", "3\n");
    h.control("zelmd_connect_timeout", std::to_string(c.connect_limit) + "\n");
    h.control("zelmd_require_scan", "1\n");
    const auto got = run_caught(h, d,
                                {.message = small,
                                 .envelope = envelope({"Fa", "Tb"}),
                                 .env = {"TCPREMOTEIP=192.0.2.7"},
                                 .deadline_seconds = 10});
    if (c.reason.empty()) {
      EXPECT_EQ(got.run.code, 0) << got.run;
      EXPECT_LOGGED(got, {"IN  IP: 192.0.2.7, From: a, sClass: Bulk, vClass: Clean, RefID: ref-42"});
    } else {
      EXPECT_EQ(got.run.code, 71) << got.run;
      EXPECT_LOGGED(got, {"IP: 192.0.2.7 - daemon multi.test:" + std::to_string(port) +
                               c.reason + " (exit 71)"});
    }
  }
}

} // namespace
