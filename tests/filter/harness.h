#ifndef TESTS_FILTER_HARNESS_H
#define TESTS_FILTER_HARNESS_H

// Runs the real qmail-zelmd the way qmail-smtpd starts its queue program:
// message on descriptor 0 (a pipe), envelope on descriptor 1 (a socket the
// filter also writes its status lines to), current directory a qmail home,
// SIGPIPE ignored, nothing open above 2. The queue program it hands on to
// is fake-queue, which records what it got in the home's queue directory.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/types.h>

// A scratch qmail home under the build tree, removed with the object.
// control/zelmd_queue_binary names fake-queue from the start.
struct qmail_home {
  std::filesystem::path root;
  std::filesystem::path home;  // the filter's current directory
  std::filesystem::path queue; // fake-queue's records (FAKEQ_DIR)
  std::filesystem::path tmp;   // /tmp of a run with private_tmp

  qmail_home();
  ~qmail_home();
  qmail_home(const qmail_home &) = delete;
  qmail_home &operator=(const qmail_home &) = delete;

  void control(const std::string &name, const std::string &content) const;
  // A control file that exists but cannot be read.
  void unreadable_control(const std::string &name) const;
  // control/zelmd_policy with text, compiled by qmail-zelmd-policy; its
  // output when that fails.
  std::string policy(const std::string &text) const;
  // A policy entry that classifies mail for a domain no test writes to:
  // the filter then reads every message, and hands the others on as
  // unclassified as without it.
  void reads_every_message() const;
  // A record written by fake-queue: message, envelope, fds, cwd, argv0, pid.
  std::optional<std::string> record(const std::string &name) const;
};

struct filter_run {
  std::string message{};
  std::string envelope{};        // written once the message pipe is closed
  std::vector<std::string> env{}; // the whole environment besides FAKEQ_DIR
  int fd0 = -1;                  // when set, descriptor 0 instead of the pipe
  int fd1 = -1;                  // when set, descriptor 1 instead of the socket
  int fd6 = -1;                  // when set, given as descriptor 6 (notqmail's reply pipe)
  // Run in a private mount namespace whose /tmp is the home's tmp.
  bool private_tmp = false;
  // Bind mounts, source onto target, in a private mount namespace: e.g. a
  // directory holding a syslog socket onto /dev, a hosts file onto
  // /etc/hosts. Needs can_isolate().
  std::vector<std::pair<std::string, std::string>> binds{};
  // Fresh tmpfs file systems, mounted after the binds: target and mount
  // options (e.g. "size=64k,mode=755"). The target must exist.
  std::vector<std::pair<std::string, std::string>> tmpfs{};
  // Keep the run's mount namespace after it ended, to look into it with
  // entries_below(). Needs a namespace of its own and the message pipe.
  bool keep_mounts = false;
  // Runs in the child just before exec, inside its namespace, so
  // getpid() is the filter's pid; false fails the run.
  std::function<bool()> in_child{};
  int deadline_seconds = 120;
  // Start the filter with SIGPIPE at its default rather than ignored.
  bool sigpipe_default = false;
};

struct filter_result {
  pid_t pid = -1;
  int code = -1;   // exit code; -1 when the filter did not exit
  int signal = 0;  // the signal that ended it
  std::string output; // what it wrote on descriptor 1
  std::filesystem::path workdir; // its working directory, as seen from here
  std::shared_ptr<const int> mounts; // with keep_mounts: its mount namespace
};

std::ostream &operator<<(std::ostream &os, const filter_result &r);

filter_result run_filter(const qmail_home &h, const filter_run &r);

// Runs the filters side by side, each in its home, under one deadline (the
// longest of theirs); the results in the order of the runs.
std::vector<filter_result> run_filters(const std::vector<const qmail_home *> &homes,
                                       const std::vector<filter_run> &runs);

// The paths below dir, relative to it, as the run's own mount namespace
// shows them after the run (keep_mounts); nullopt when it cannot be seen.
std::optional<std::vector<std::string>> entries_below(const filter_result &r,
                                                      const std::string &dir);

// Envelope items (letter and address), each ended by NUL, then the
// closing empty item unless closed is false.
std::string envelope(const std::vector<std::string> &items, bool closed = true);
// The envelope the queue program must receive.
std::string queue_envelope(const std::string &from, const std::vector<std::string> &to);

// Byte comparison that reports lengths and the first difference instead
// of printing megabytes.
testing::AssertionResult same_bytes(const std::optional<std::string> &got,
                                    const std::string &want);

// Whether runs with private_tmp work here (root, mount namespaces).
bool can_isolate();

#endif
