// How a run ends: the queue program's result, configuration that cannot be
// read, and the choice of direction.
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/resource.h>

#include "classify_support.h"

namespace fs = std::filesystem;

namespace {

const std::string small = "Subject: x\n\nbody\n";
const std::string spooled = "Subject: x\n\n" + std::string(40000, 'b');

// The line a run that ends with code logs for reason.
std::vector<std::string> reason_line(const std::string &reason, int code) {
  return {"IP: 127.0.0.1 - " + reason + " (exit " + std::to_string(code) + ")"};
}

TEST(Exit, QueueProgramResultPassedOn) {
  const std::string queue = std::string("queue program ") + FAKE_QUEUE;
  struct {
    std::vector<std::string> env;
    int code;
    std::string reason;
  } cases[] = {
      {{}, 0, ""},
      {{"FAKEQ_EXIT=11"}, 11, queue + " exited 11"},
      {{"FAKEQ_EXIT=31"}, 31, queue + " exited 31"},
      {{"FAKEQ_EXIT=81"}, 81, queue + " exited 81"},
      {{"FAKEQ_EXIT=100"}, 100, queue + " exited 100"},
      {{"FAKEQ_SIGNAL=9"}, 71, queue + " killed by signal 9"},
      {{"FAKEQ_SIGNAL=15"}, 71, queue + " killed by signal 15"},
      // Under qmail-smtpd SIGPIPE is ignored: a queue program that stops
      // reading only makes the filter's writes fail.
      {{"FAKEQ_NOREAD=1", "FAKEQ_EXIT=31"}, 31, queue + " exited 31"},
  };
  for (const auto &c : cases) {
    for (const std::string *msg : {&small, &spooled}) {
      SCOPED_TRACE(testing::Message()
                   << (c.env.empty() ? "exit 0" : c.env.back()) << ", message of " << msg->size());
      qmail_home h;
      h.reads_every_message();
      const auto got =
          run_caught(h, {.message = *msg, .envelope = envelope({"Fa", "Tb"}), .env = c.env});
      EXPECT_EQ(got.run.code, c.code) << got.run;
      EXPECT_EQ(got.run.output, "");
      EXPECT_LOGGED(got, c.code ? reason_line(c.reason, c.code) : std::vector<std::string>{});
      EXPECT_FALSE(fs::exists(got.run.workdir));
    }
  }
}

// A queue program that goes without reading everything: whether SIGPIPE is
// ignored (as under qmail-smtpd) or at its default, the filter ends with
// the queue program's code and cleans up; not half-way by a signal with
// its spool file left behind. One that claims success all the same did
// not get the message: 54, as qmail's own hand-off has it.
TEST(Exit, QueueProgramThatStopsReading) {
  // Each more than a pipe holds, so that the write is sure to fail.
  const std::string big = "Subject: x\n\n" + std::string(300000, 'b');
  std::vector<std::string> items = {"Fa"};
  for (int i = 0; i < 10000; ++i) items.push_back("Trecipient" + std::to_string(i) + "@y");
  const std::string ab = envelope({"Fa", "Tb"}), big_envelope = envelope(items);
  const std::string queue = std::string("queue program ") + FAKE_QUEUE;
  const std::string not_taken = queue + " did not take the whole message and envelope";
  struct {
    const std::string *message;
    const std::string *envelope;
    int exit;
    int code;
    std::string reason;
  } cases[] = {
      {&small, &ab, 31, 31, queue + " exited 31"},
      {&big, &ab, 31, 31, queue + " exited 31"},
      {&big, &ab, 0, 54, not_taken},
      {&small, &big_envelope, 0, 54, not_taken},
  };
  for (const auto &c : cases) {
    for (bool sigpipe_default : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << c.message->size() << " + " << c.envelope->size() << " bytes, exit " << c.exit
                   << (sigpipe_default ? ", SIGPIPE at default" : ""));
      qmail_home h;
      h.reads_every_message();
      const auto got =
          run_caught(h, {.message = *c.message,
                         .envelope = *c.envelope,
                         .env = {"FAKEQ_NOREAD=1", "FAKEQ_EXIT=" + std::to_string(c.exit)},
                         .sigpipe_default = sigpipe_default});
      EXPECT_EQ(got.run.signal, 0) << got.run;
      EXPECT_EQ(got.run.code, c.code) << got.run;
      EXPECT_LOGGED(got, reason_line(c.reason, c.code));
      EXPECT_FALSE(fs::exists(got.run.workdir));
    }
  }
}

TEST(Exit, QueueProgramThatCannotRun) {
  qmail_home h;
  const fs::path plain = h.root / "not-executable";
  std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
  for (const std::string &bin :
       std::vector<std::string>{"/nonexistent/qmail-queue", plain.string(), h.root.string(), ""}) {
    SCOPED_TRACE(bin);
    h.control("zelmd_queue_binary", bin + "\n");
    const auto got = run_caught(h, {.message = spooled, .envelope = envelope({"Fa", "Tb"})});
    EXPECT_EQ(got.run.code, 120) << got.run;
    EXPECT_LOGGED(got, reason_line("queue program " + bin + " could not be started", 120));
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

TEST(Exit, UnreadableControlFileStopsTheFilter) {
  for (const char *name : {"me", "zelmd_in_host", "zelmd_in_port", "zelmd_out_host",
                           "zelmd_out_port", "zelmd_report_imap_folder", "zelmd_queue_binary"}) {
    SCOPED_TRACE(name);
    qmail_home h;
    h.unreadable_control(name);
    const auto got = run_caught(h, {.message = small, .envelope = envelope({"Fa", "Tb"})});
    EXPECT_EQ(got.run.code, 1) << got.run;
    EXPECT_EQ(got.run.output, "421 unable to read controls (#4.3.0)\r\n");
    EXPECT_LOGGED(
        got, reason_line("cannot read control/" + std::string(name) + ": Is a directory", 1));
    EXPECT_FALSE(h.record("argv0")) << "queue program started";
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

// A status line goes to descriptor 1 as qmail-queue writes it, but a peer
// that does not read it must not hold the session: the filter ends at
// once, whatever the message's size.
TEST(Exit, StatusLineNeverWaits) {
  for (const size_t size : {size_t{100}, size_t{300000}}) {
    SCOPED_TRACE(size);
    qmail_home h;
    h.unreadable_control("zelmd_in_host");
    // Descriptor 1 a pipe that is full and that nobody reads: a write
    // that waited would wait for ever.
    int full[2];
    ASSERT_EQ(pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string chunk(4096, 'x');
    while (write(full[1], chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(fcntl(full[1], F_SETFL, 0), 0);
    const auto r = run_filter(
        h, {.message = std::string(size, 'm'), .fd1 = full[1], .deadline_seconds = 20});
    close(full[0]);
    close(full[1]);
    EXPECT_EQ(r.code, 1) << r;
  }
}

// The limit counts every process of the user, and hundreds of SMTP
// sessions may share it: a low one is raised so that the queue program
// can start, a high one is never lowered.
TEST(Exit, ProcessLimitNeverLowered) {
  struct {
    rlim_t soft, hard;
    std::string seen;
  } cases[] = {
      {100, 500, "500 500"},
      {100, 5000, "1024 5000"},
      {1024, 5000, "1024 5000"},
      {3000, 5000, "3000 5000"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.seen);
    qmail_home h;
    h.reads_every_message(); // started, not put in the filter's place
    const auto r =
        run_filter(h, {.message = small, .envelope = envelope({"Fa", "Tb"}), .in_child = [&] {
                         const rlimit l{c.soft, c.hard};
                         return setrlimit(RLIMIT_NPROC, &l) == 0;
                       }});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(h.record("nproc"), c.seen);
  }
}

// Classification cannot succeed here: the daemon address leads nowhere, so
// a direction whose check is on fails its request.
void no_daemon(const qmail_home &h) {
  for (const char *f : {"zelmd_in_host", "zelmd_out_host"}) h.control(f, "127.0.0.1\n");
  for (const char *f : {"zelmd_in_port", "zelmd_out_port"}) h.control(f, "1\n");
}

TEST(Exit, BadNumberFileTakesItsDefault) {
  struct {
    const char *file;
    const char *content;
    const char *other, *other_content;
  } cases[] = {
      {"zelmd_check_inbound", nullptr, "zelmd_require_scan", "1"},
      {"zelmd_check_inbound", "yes", "zelmd_require_scan", "1"},
      {"zelmd_require_scan", nullptr, "zelmd_check_inbound", "1"},
      {"zelmd_require_scan", "on", "zelmd_check_inbound", "1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.file << " " << (c.content ? c.content : "unreadable"));
    qmail_home h;
    no_daemon(h);
    if (c.content)
      h.control(c.file, c.content);
    else
      h.unreadable_control(c.file);
    h.control(c.other, c.other_content);
    const auto r = run_filter(h, {.message = small, .envelope = envelope({"Fa", "Tb"})});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.output, "");
    EXPECT_TRUE(same_bytes(h.record("message"), small));
  }
}

TEST(Exit, DirectionPicksTheCheckSwitch) {
  struct {
    std::vector<std::string> env;
    const char *check; // the switch that is on
    const char *require;
    int code;
  } cases[] = {
      {{}, "zelmd_check_inbound", "1", 71},
      {{}, "zelmd_check_inbound", "2", 71},
      {{}, "zelmd_check_outbound", "1", 0},
      {{"TCPREMOTEIP=192.0.2.1"}, "zelmd_check_inbound", "1", 71},
      {{"RELAYCLIENT="}, "zelmd_check_outbound", "1", 71},
      {{"RELAYCLIENT="}, "zelmd_check_inbound", "1", 0},
      {{"RELAYCLIENT=@example.org"}, "zelmd_check_outbound", "1", 71},
      {{"SMTPAUTHUSER=joe"}, "zelmd_check_outbound", "1", 71},
      {{"SMTPAUTHUSER=joe"}, "zelmd_check_inbound", "1", 0},
      {{"SMTPAUTHUSER="}, "zelmd_check_outbound", "1", 71},
      {{"RELAYCLIENT=", "SMTPAUTHUSER=joe"}, "zelmd_check_outbound", "1", 71},
      // A failed request without require_scan: forwarded untouched.
      {{}, "zelmd_check_inbound", "0", 0},
      {{"RELAYCLIENT="}, "zelmd_check_outbound", "0", 0},
  };
  for (const auto &c : cases) {
    for (const char *check_value : {"1", "2"}) {
      SCOPED_TRACE(testing::Message() << (c.env.empty() ? "no env" : c.env[0]) << ", " << c.check
                                      << "=" << check_value << ", require_scan=" << c.require);
      qmail_home h;
      no_daemon(h);
      h.control(c.check, check_value + std::string("\n"));
      h.control("zelmd_require_scan", c.require + std::string("\n"));
      const auto r =
          run_filter(h, {.message = spooled, .envelope = envelope({"Fa", "Tb"}), .env = c.env});
      EXPECT_EQ(r.code, c.code) << r;
      if (c.code == 0) {
        EXPECT_TRUE(same_bytes(h.record("message"), spooled));
        EXPECT_EQ(h.record("envelope"), queue_envelope("a", {"b"}));
      } else {
        EXPECT_FALSE(h.record("argv0")) << "queue program started";
      }
      EXPECT_FALSE(fs::exists(r.workdir));
    }
  }
}

} // namespace
