// Faults around the filter: a daemon that resets the connection, a queue
// program that goes away or crawls, a spool area that fills up, a sender
// that goes away or fails mid-message. Every run is bounded by a deadline,
// must end with the documented code and leave nothing in the spool area.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
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
    h.reads_every_message();
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

enum class stage { reading, daemon, handing_over, handed_over };

// The first line of /proc/<pid>/<file>; empty once the process is gone.
std::string proc_line(pid_t pid, const char *file, const std::string &prefix = "") {
  std::ifstream f("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(f, line);)
    if (line.starts_with(prefix)) return line;
  return "";
}

// Waits a millisecond at a time, five seconds at most, for what the kernel
// shows of a process: nothing else tells when it sleeps in a system call.
void wait_for(const std::function<bool()> &seen) {
  for (int i = 0; i < 5000 && !seen(); ++i) poll(nullptr, 0, 1);
}

// The filter reads the first 32000 bytes of message, spools them, and is
// sent sig once the spool file holds them; only then does the rest come.
caught signal_while_reading(const qmail_home &h, const std::string &message, int sig) {
  const fs::path area = h.tmp / "qmail-zelmd";
  fs::create_directory(area);
  const fd_owner watch(inotify_init1(IN_CLOEXEC));
  if (!watch.ok() || inotify_add_watch(watch.get(), area.c_str(), IN_CREATE) < 0) {
    ADD_FAILURE() << "inotify: " << strerror(errno);
    return {};
  }
  int p[2];
  EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
  fd_owner in(p[0]), out(p[1]);
  EXPECT_EQ(write(out.get(), message.data(), 32000), 32000);
  caught got;
  std::thread run([&] {
    got = run_caught(h, {.envelope = envelope_ab, .env = from_outside, .fd0 = in.get(),
                         .private_tmp = true, .deadline_seconds = 20, .sigpipe_default = true});
  });
  // The working directory is named after the filter; the spool file in it
  // holds the first 32000 bytes once they are read.
  fs::path workdir;
  uintmax_t spooled = 0;
  alignas(inotify_event) char buf[4096];
  while (spooled < 32000) {
    const ssize_t n = read(watch.get(), buf, sizeof buf);
    if (n <= 0) break;
    for (char *e = buf; e < buf + n; e += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(e)->len)
      if (workdir.empty()) {
        workdir = area / reinterpret_cast<inotify_event *>(e)->name;
        inotify_add_watch(watch.get(), workdir.c_str(), IN_MODIFY);
        in.reset(); // the filter has its own copy: a filter that ends takes the reader along
      }
    std::error_code ec;
    for (const auto &f : fs::directory_iterator(workdir, ec)) spooled = f.file_size(ec);
    if (ec) break; // gone already
  }
  // The signal must find the filter waiting for the rest (in poll, system
  // call 7), and the rest must not come before the signal was dealt with,
  // or the wait would end with data rather than be interrupted: the filter
  // has then ended or gone back to waiting (a voluntary switch more).
  const pid_t pid = std::stoi(workdir.filename().string());
  wait_for([&] { return proc_line(pid, "syscall").starts_with("7 "); });
  const std::string before = proc_line(pid, "status", "voluntary_ctxt_switches:");
  kill(pid, sig);
  wait_for([&] { return proc_line(pid, "status", "voluntary_ctxt_switches:") != before; });
  for (size_t off = 32000; off < message.size();) {
    const ssize_t w = write(out.get(), message.data() + off, message.size() - off);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  out.reset();
  run.join();

  return got;
}

// A session shut down (tcpserver or the administrator sends SIGTERM, a
// terminal SIGHUP or SIGINT, a CPU limit SIGXCPU, ...) before the message
// was handed on: refused for now, and its copy in the spool area goes with
// the filter; the queue program, when it runs, never gets the envelope's
// end. Once the queue program has the whole envelope the message is its
// own: the filter waits and ends with its code, or the client would send
// the message again. SIGPIPE and SIGXFSZ only interrupt.
TEST(Fault, StoppedBySignal) {
  std::vector<std::string> many = {"Fa"};
  for (int i = 0; i < 10000; ++i) many.push_back("Trecipient" + std::to_string(i) + "@y");
  const std::string big_envelope = envelope(many);
  const std::string message = message_of(100000);
  struct {
    int sig;
    const char *name;
    stage at;
    int code;
    int queue_exit = 0;
  } cases[] = {
      {SIGTERM, "SIGTERM", stage::reading, 71},
      {SIGQUIT, "SIGQUIT", stage::reading, 71},
      {SIGUSR1, "SIGUSR1", stage::reading, 71},
      {SIGPIPE, "SIGPIPE", stage::reading, 0},
      {SIGXFSZ, "SIGXFSZ", stage::reading, 0},
      {SIGTERM, "SIGTERM", stage::daemon, 71},
      {SIGHUP, "SIGHUP", stage::daemon, 71},
      {SIGINT, "SIGINT", stage::daemon, 71},
      {SIGQUIT, "SIGQUIT", stage::daemon, 71},
      {SIGALRM, "SIGALRM", stage::daemon, 71},
      {SIGUSR2, "SIGUSR2", stage::daemon, 71},
      {SIGXCPU, "SIGXCPU", stage::daemon, 71},
      {SIGVTALRM, "SIGVTALRM", stage::daemon, 71},
      {SIGPROF, "SIGPROF", stage::daemon, 71},
      {SIGRTMIN + 3, "SIGRTMIN+3", stage::daemon, 71},
      {SIGPIPE, "SIGPIPE", stage::daemon, 0},
      {SIGTERM, "SIGTERM", stage::handing_over, 71},
      {SIGHUP, "SIGHUP", stage::handing_over, 71},
      {SIGTERM, "SIGTERM", stage::handed_over, 0},
      {SIGINT, "SIGINT", stage::handed_over, 0},
      {SIGTERM, "SIGTERM", stage::handed_over, 31, 31},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " at stage " << static_cast<int>(c.at));
    qmail_home h;
    h.reads_every_message();
    caught got;
    if (c.at == stage::reading) {
      got = signal_while_reading(h, message, c.sig);
    } else if (c.at == stage::daemon) {
      loopback_daemon d({.how = c.code ? daemon_script::hang : daemon_script::answer,
                         .response = http_response(answer_text(inbound_answer())),
                         .on_request = [&](const std::string &req) {
                           // "X-ZELM-FileName: /tmp/qmail-zelmd/<pid>//<start>.msg"
                           const size_t at = req.find("/tmp/qmail-zelmd/");
                           if (at != std::string::npos) kill(std::stoi(req.substr(at + 17)), c.sig);
                         }});
      point_at(h, d.port(), "localhost");
      h.control("zelmd_check_inbound", "1\n");
      got = run_caught(h, d, {.message = message, .envelope = envelope_ab, .env = from_outside,
                              .deadline_seconds = 20});
      EXPECT_EQ(got.requests.size(), 1u);
    } else {
      std::vector<std::string> env = from_outside;
      env.push_back("FAKEQ_STOP_PARENT=" + std::to_string(c.sig));
      env.push_back(c.at == stage::handing_over ? "FAKEQ_STOP_AT=message" : "FAKEQ_STOP_AT=envelope");
      env.push_back("FAKEQ_EXIT=" + std::to_string(c.queue_exit));
      got = run_caught(h, {.message = message,
                           .envelope = c.at == stage::handing_over ? big_envelope : envelope_ab,
                           .env = env, .deadline_seconds = 20});
    }
    EXPECT_EQ(got.run.signal, 0) << got.run;
    EXPECT_EQ(got.run.code, c.code) << got.run;
    const std::string queue = std::string("queue program ") + FAKE_QUEUE;
    if (c.at == stage::handing_over) {
      // Whatever reached the queue program lacks the envelope's end. The
      // queue program may still be reading it when the filter has ended.
      if (const auto got_envelope = h.record("envelope")) {
        EXPECT_LT(got_envelope->size(), big_envelope.size());
        EXPECT_TRUE(big_envelope.starts_with(*got_envelope));
      }
    } else if (c.code == 71) {
      EXPECT_FALSE(h.record("argv0")) << "queue program started";
    } else {
      EXPECT_TRUE(same_bytes(h.record("message"), c.at == stage::daemon
                                                      ? stamped(message, 11, inbound_stamp())
                                                      : message));
      EXPECT_EQ(h.record("envelope"), envelope_ab);
    }
    std::vector<std::string> lines;
    if (c.code == 71) lines.push_back("IP: 192.0.2.7 - stopped by " + std::string(c.name) + " (exit 71)");
    if (c.code == 31) lines.push_back("IP: 192.0.2.7 - " + queue + " exited 31 (exit 31)");
    if (c.at == stage::daemon && c.code == 0)
      lines.insert(lines.begin(), "IN  IP: 192.0.2.7, From: a, sClass: Bulk, vClass: Clean, RefID: ref-42");
    EXPECT_LOGGED(got, lines);
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

// The writer of the message (qmail-smtpd) dies mid-message: the message
// pipe ends early, and the envelope closes with nothing or a cut first item
// in it. A cut message cannot be told from a short one; the envelope cut
// off before its closing item is what refuses it (54), before the daemon
// or the queue program see anything. A writer that still sends a whole envelope gets the message
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
      {"spooled, envelope cut after its last whole item", 60000, envelope({"Fa", "Tb"}, false), 54},
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
      EXPECT_LOGGED(got, {"IP: 192.0.2.7 - envelope cut off before its end (exit 54)"});
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
