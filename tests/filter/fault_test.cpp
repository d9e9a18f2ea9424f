// Faults around the filter: a daemon that resets the connection, a queue
// program that goes away or crawls, a spool area that fills up, a sender
// that goes away or fails mid-message. Every run is bounded by a deadline,
// must end with the documented code and leave nothing in the spool area.
#include <chrono>
#include <cstdio>

#include <sys/resource.h>
#include <sys/socket.h>

#include "classify_support.h"
#include "fd.h"

namespace fs = std::filesystem;

namespace {

using std::chrono::steady_clock;

const std::string envelope_ab = envelope({"Fa", "Tb"});
const std::string small = "Subject: x\n\nbody\n";

// A header of 11 bytes, then numbered lines, so that a lost, doubled or
// misplaced chunk shows as a difference.
std::string message_of(size_t size) {
  std::string m = "Subject: x\n\n";
  char line[32];
  for (size_t n = 0; m.size() < size; ++n) {
    std::snprintf(line, sizeof line, "line %09zu\n", n);
    m += line;
  }
  m.resize(size);
  return m;
}

// Classification on for inbound mail, against a daemon on the loopback.
void classify_at(const qmail_home &h, int port, int require_scan, int timeout = 5) {
  point_at(h, port);
  h.control("zelmd_check_inbound", "1\n");
  h.control("zelmd_timeout", std::to_string(timeout) + "\n");
  h.control("zelmd_require_scan", std::to_string(require_scan) + "\n");
}

const std::vector<std::string> from_outside = {"TCPREMOTEIP=192.0.2.7"};

// A reset is an answer of its own: the filter must give up on the daemon at
// once, not wait for its time limit, and must not take what came before the
// reset as the answer even when every line is in it. A reset while the
// message is still being sent must not kill the filter by SIGPIPE.
TEST(Fault, DaemonResetsTheConnection) {
  const std::string spooled = message_of(2 << 20);
  const std::string full =
      http_response(answer_text(inbound_answer()) + "X-Pad: " + std::string(200, 'p') + "\r\n");
  const std::string cut = full.substr(0, full.size() - 100); // every line, the body short
  struct {
    const char *name;
    daemon_script script;
    const std::string *message;
  } cases[] = {
      {"mid-answer", {.response = cut, .reset = true}, &small},
      {"mid-answer, spooled message", {.response = cut, .reset = true}, &spooled},
      {"after the request, before a word", {.how = daemon_script::close_after_request,
                                            .reset = true}, &small},
      {"while the message is sent", {.how = daemon_script::close_at_once, .reset = true},
       &spooled},
  };
  for (const auto &c : cases) {
    for (int require : {0, 1}) {
      for (bool sigpipe_default : {false, true}) {
        SCOPED_TRACE(testing::Message() << c.name << ", require_scan " << require
                                        << (sigpipe_default ? ", SIGPIPE at default" : ""));
        qmail_home h;
        loopback_daemon d(c.script);
        classify_at(h, d.port(), require, 10);
        const auto t0 = steady_clock::now();
        const auto r = run_filter(h, {.message = *c.message, .envelope = envelope_ab,
                                      .env = from_outside, .deadline_seconds = 15,
                                      .sigpipe_default = sigpipe_default});
        EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(5))
            << "waited for the time limit after a reset";
        EXPECT_EQ(r.signal, 0) << r;
        EXPECT_EQ(r.code, require ? 71 : 0) << r;
        if (require)
          EXPECT_FALSE(h.record("argv0")) << "queue program started";
        else
          EXPECT_TRUE(same_bytes(h.record("message"), *c.message)) << "stamped a cut answer";
        EXPECT_FALSE(fs::exists(r.workdir));
      }
    }
  }
}

// The queue program goes away while the filter is still writing the
// message into its pipe: the filter ends with what the queue program said
// (71 for a signal), whatever SIGPIPE was left at, and cleans up.
TEST(Fault, QueueProgramGoesMidMessage) {
  const std::string large = message_of(5 << 20);
  struct {
    const std::string *message;
    std::vector<std::string> env;
    int code;
  } cases[] = {
      {&large, {"FAKEQ_READ_MAX=100000", "FAKEQ_SIGNAL=9"}, 71},
      {&large, {"FAKEQ_READ_MAX=100000", "FAKEQ_EXIT=31"}, 31},
      // Small enough for the pipe: it is the envelope that meets the gone reader.
      {&small, {"FAKEQ_READ_MAX=5", "FAKEQ_SIGNAL=9"}, 71},
      {&small, {"FAKEQ_READ_MAX=5", "FAKEQ_EXIT=31"}, 31},
  };
  for (const auto &c : cases) {
    for (bool sigpipe_default : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.message->size() << " bytes, " << c.env[0] << ", "
                                      << c.env[1] << (sigpipe_default ? ", SIGPIPE at default" : ""));
      qmail_home h;
      loopback_daemon d({.response = http_response(answer_text(inbound_answer()))});
      classify_at(h, d.port(), 1);
      std::vector<std::string> env = from_outside;
      env.insert(env.end(), c.env.begin(), c.env.end());
      const auto r = run_filter(h, {.message = *c.message, .envelope = envelope_ab,
                                    .env = env, .deadline_seconds = 20,
                                    .sigpipe_default = sigpipe_default});
      EXPECT_EQ(r.signal, 0) << r;
      EXPECT_EQ(r.code, c.code) << r;
      // What it did read was the stamped message's beginning.
      const auto got = h.record("message");
      ASSERT_TRUE(got);
      const std::string want = stamped(*c.message, 11, inbound_stamp());
      EXPECT_TRUE(same_bytes(got, want.substr(0, got->size())));
      EXPECT_FALSE(fs::exists(r.workdir));
    }
  }
}

// No time limit applies towards the queue program: one that takes its time
// gets a large message, stamped, byte for byte.
TEST(Fault, SlowQueueProgramGetsEveryByte) {
  const std::string large = message_of(5 << 20);
  qmail_home h;
  loopback_daemon d({.response = http_response(answer_text(inbound_answer()))});
  classify_at(h, d.port(), 1);
  std::vector<std::string> env = from_outside;
  env.push_back("FAKEQ_SLOW=1");
  const auto r = run_filter(h, {.message = large, .envelope = envelope_ab, .env = env,
                                .deadline_seconds = 60});
  EXPECT_EQ(r.code, 0) << r;
  EXPECT_TRUE(same_bytes(h.record("message"), stamped(large, 11, inbound_stamp())));
  EXPECT_EQ(h.record("envelope"), queue_envelope("a", {"b"}));
  EXPECT_FALSE(fs::exists(r.workdir));
}

std::string joined(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &e : v) s += " " + e;
  return s;
}

// A small tmpfs over the spool area: what does not fit refuses the message
// for now (71) and takes the partial spool file and the working directory
// along. The message that fits shows the mount itself is usable.
TEST(Fault, SpoolAreaFull) {
  if (!can_isolate()) GTEST_SKIP() << "needs root and mount namespaces";
  struct {
    const char *size;
    size_t message;
    int code;
    rlim_t fsize = RLIM_INFINITY; // a file-size limit is a full disk of its own
  } cases[] = {
      {"64k", 40000, 0},
      {"64k", 200000, 71}, // the first 32000 bytes fit, the rest does not
      {"16k", 40000, 71},  // not even the first 32000 bytes
      {"1m", 200000, 71, 100000},
      {"1m", 200000, 71, 16000},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.message << " bytes on " << c.size << ", file size limit "
                                    << c.fsize);
    qmail_home h;
    fs::create_directory(h.tmp / "qmail-zelmd");
    const std::string msg = message_of(c.message);
    const auto r = run_filter(
        h, {.message = msg, .envelope = envelope_ab, .private_tmp = true,
            .tmpfs = {{"/tmp/qmail-zelmd", "size=" + std::string(c.size) + ",mode=755"}},
            .keep_mounts = true,
            .in_child =
                [&] {
                  const rlimit l{c.fsize, c.fsize};
                  return setrlimit(RLIMIT_FSIZE, &l) == 0;
                },
            .deadline_seconds = 10});
    EXPECT_EQ(r.code, c.code) << r;
    if (c.code == 0)
      EXPECT_TRUE(same_bytes(h.record("message"), msg));
    else
      EXPECT_FALSE(h.record("argv0")) << "queue program started";
    const auto left = entries_below(r, "/tmp/qmail-zelmd");
    ASSERT_TRUE(left);
    EXPECT_TRUE(left->empty()) << "left:" << joined(*left);
  }
}

// A session shut down mid-exchange (tcpserver or the administrator sends
// SIGTERM, a terminal SIGHUP or SIGINT): the message is refused for now and
// its copy in the spool area goes with the filter.
TEST(Fault, StoppedBySignal) {
  for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(sig);
    qmail_home h;
    bool spooled_then = false;
    loopback_daemon d({.how = daemon_script::hang, .on_request = [&](const std::string &req) {
                         // "X-ZELM-FileName: /tmp/qmail-zelmd/<pid>//<start>.msg"
                         const size_t at = req.find("/tmp/qmail-zelmd/");
                         if (at == std::string::npos) return;
                         const std::string path = req.substr(at, req.find("\r\n", at) - at);
                         spooled_then = fs::exists(path);
                         kill(std::stoi(path.substr(17)), sig);
                       }});
    point_at(h, d.port(), "localhost");
    h.control("zelmd_check_inbound", "1\n");
    const auto got = run_caught(h, d, {.message = message_of(100000), .envelope = envelope_ab,
                                       .env = from_outside, .deadline_seconds = 20});
    EXPECT_EQ(got.run.code, 71) << got.run;
    EXPECT_TRUE(spooled_then);
    EXPECT_FALSE(h.record("argv0")) << "queue program started";
    EXPECT_TRUE(logged(got, {std::string("IP: 192.0.2.7 - stopped by SIG") +
                             (sig == SIGTERM ? "TERM" : sig == SIGHUP ? "HUP" : "INT") +
                             " (exit 71)"}));
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

// The writer of the message (qmail-smtpd) dies mid-message: the message
// pipe ends early, and the envelope closes with nothing or a cut first item
// in it. A cut message cannot be told from a short one; the empty envelope
// is what refuses it (54), before the daemon or the queue program see
// anything. A writer that still sends a whole envelope gets the message
// forwarded as it came, like any other.
TEST(Fault, SenderGoneMidMessage) {
  const std::string whole = message_of(100000);
  struct {
    const char *name;
    size_t cut;
    std::string envelope;
    int code;
  } cases[] = {
      {"in memory, no envelope", 5000, "", 54},
      {"spooled, no envelope", 60000, "", 54},
      {"spooled, envelope cut in its first item", 60000, "Fa", 54},
      {"spooled, envelope whole", 60000, envelope_ab, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    loopback_daemon d({.response = http_response(answer_text(inbound_answer()))});
    classify_at(h, d.port(), 1);
    const std::string cut = whole.substr(0, c.cut);
    const auto got = run_caught(h, d, {.message = cut, .envelope = c.envelope,
                                       .env = from_outside, .deadline_seconds = 10});
    EXPECT_EQ(got.run.code, c.code) << got.run;
    if (c.code == 0) {
      EXPECT_EQ(got.requests.size(), 1u);
      EXPECT_TRUE(same_bytes(h.record("message"), stamped(cut, 11, inbound_stamp())));
    } else {
      EXPECT_TRUE(got.requests.empty()) << "the daemon was asked";
      EXPECT_FALSE(h.record("argv0")) << "queue program started";
      EXPECT_TRUE(logged(got, {"IP: 192.0.2.7 - envelope with neither sender nor recipient (exit 54)"}));
    }
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

// Descriptor 0 fails mid-message (a socket its peer reset): exit 1 without
// a word, nothing asked or queued, and a spool file already written goes
// with the working directory.
TEST(Fault, MessageReadFailsMidMessage) {
  for (size_t before : {size_t{1000}, size_t{100000}}) {
    SCOPED_TRACE(testing::Message() << before << " bytes before the failure");
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    fd_owner peer(sv[0]), ours(sv[1]);
    const std::string part = message_of(before);
    ASSERT_EQ(send(peer.get(), part.data(), part.size(), MSG_DONTWAIT), ssize_t(part.size()));
    // Closed with a byte it never read: the filter gets the bytes already
    // sent, then ECONNRESET.
    ASSERT_EQ(send(ours.get(), "x", 1, 0), 1);
    peer.reset();

    qmail_home h;
    loopback_daemon d({.response = http_response(answer_text(inbound_answer()))});
    classify_at(h, d.port(), 1);
    const auto got = run_caught(h, d, {.envelope = envelope_ab, .env = from_outside,
                                       .fd0 = ours.get(), .deadline_seconds = 10});
    EXPECT_EQ(got.run.code, 1) << got.run;
    EXPECT_EQ(got.run.output, "");
    EXPECT_TRUE(got.requests.empty()) << "the daemon was asked";
    EXPECT_FALSE(h.record("argv0")) << "queue program started";
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

} // namespace
