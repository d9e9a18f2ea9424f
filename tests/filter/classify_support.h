#ifndef TESTS_FILTER_CLASSIFY_SUPPORT_H
#define TESTS_FILTER_CLASSIFY_SUPPORT_H

// Shared pieces of the classification tests: a filter run against a
// loopback daemon with its syslog caught, and builders for the requests,
// answers and stamped messages the tests expect.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "loopback_daemon.h"

using field_list = std::vector<std::pair<std::string, std::string>>;

// Points both directions at host:port.
void point_at(const qmail_home &h, int port, const std::string &host = "127.0.0.1");

struct caught {
  filter_result run;
  std::vector<std::string> requests; // one per connection the daemon saw
  bool log_caught = false;           // false: no isolation here, log unknown
  std::vector<std::string> log;      // datagrams sent to /dev/log
};

// Runs the filter, then stops the daemon. With can_isolate() the run's
// /dev holds a syslog catcher, so every log line is seen, and names
// resolve from a hosts file alone: localhost, zelmd.test and the first
// 127 characters of long_name, all 127.0.0.1, and multi.test, 127.0.0.2
// and then 127.0.0.1.
extern const std::string long_name;
caught run_caught(const qmail_home &h, loopback_daemon &d, filter_run run);
// The same without a daemon.
caught run_caught(const qmail_home &h, filter_run run);
// Runs side by side (run_filters), each with a catcher of its own.
std::vector<caught> run_caught(const std::vector<const qmail_home *> &homes,
                               std::vector<filter_run> runs);

// The log lines are exactly texts, each sent as the filter's syslog
// format demands: LOG_MAIL, LOG_INFO, "qmail-zelmd", the filter's pid. A
// log that was not caught fails: say NEED_LOG first.
testing::AssertionResult logged(const caught &c, const std::vector<std::string> &texts);
// A run whose log cannot be caught here skips the test, saying so, rather
// than let it pass unchecked. Only where a void function may return.
#define NEED_ISOLATION()                                                                         \
  if (!can_isolate()) GTEST_SKIP() << "the log cannot be caught here: needs root and mount namespaces"
#define NEED_LOG(c)                                                                              \
  if (!(c).log_caught)                                                                           \
  GTEST_SKIP() << "the log cannot be caught here: needs root and mount namespaces"
#define EXPECT_LOGGED(c, ...)                                                                    \
  do {                                                                                           \
    NEED_LOG(c);                                                                                 \
    EXPECT_TRUE(logged(c, __VA_ARGS__));                                                         \
  } while (0)

// "Name: value" lines, each ended by eol.
std::string answer_text(const field_list &lines, const std::string &eol = "\r\n");
// The five required lines; and those plus the sender lines with the
// blue/white flag.
field_list inbound_answer();
field_list outbound_answer();

// msg with the stamp lines ("Name: value", each then ended by LF)
// inserted at offset at.
std::string stamped(const std::string &msg, size_t at, const std::vector<std::string> &lines);
std::vector<std::string> verdict_stamp(const std::string &pver, const std::string &spam,
                                       const std::string &vod, const std::string &refid);
std::vector<std::string> sender_stamp(const std::vector<std::string> &values);
// What inbound_answer() and outbound_answer() stamp.
std::vector<std::string> inbound_stamp();
std::vector<std::string> outbound_stamp();

// The lines the filter puts in front of the message or file name.
std::string zelm_head(const std::string &from, const std::string &ip,
                      const std::optional<std::string> &senderid = std::nullopt);

// Checks one raw request: request line, exactly the fields a POST of a
// text/plain body with "Connection: close" carries, and the body.
testing::AssertionResult is_post(const std::string &raw, const std::string &target,
                                 const std::string &host, const std::string &body);

#endif
