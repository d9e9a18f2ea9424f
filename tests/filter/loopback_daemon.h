#ifndef TESTS_FILTER_LOOPBACK_DAEMON_H
#define TESTS_FILTER_LOOPBACK_DAEMON_H

// A classification daemon inside the test process: real TCP on the
// loopback, a port the kernel picks, one thread with a poll loop. It
// records every request byte for byte as it arrived and answers as
// scripted. The destructor stops and joins it; it also gives up on its
// own after a minute, so a broken test cannot keep it alive.

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct daemon_script {
  enum kind {
    answer,             // read the whole request, send `response`, close
    trickle,            // the same, one byte per write, `pause_ms` apart
    close_at_once,      // close each connection as soon as it is accepted
    close_after_request, // read the whole request, close without a word
    hang,               // read the whole request, then say nothing
    stall,              // accept, then neither read nor answer
  };
  kind how = answer;
  std::string response{};
  int pause_ms = 0;
  // After answering, keep the connection open instead of closing it.
  bool keep_open = false;
  // Close every connection abortively (SO_LINGER 0: a reset, not a FIN),
  // whatever is still unsent or unread.
  bool reset = false;
  // Runs on the daemon's thread once a request is complete, before the
  // answer: what the daemon can see at that moment (a spool file).
  std::function<void(const std::string &request)> on_request{};
};

class loopback_daemon {
public:
  // Listens on 127.0.0.1 and, where the machine has it, on ::1 at the
  // same port, so that "localhost" reaches it whichever it resolves to.
  // With only_v6, ::1 alone (check has_v6()). A port of 0: any free one.
  explicit loopback_daemon(daemon_script script, bool only_v6 = false, int port = 0);
  ~loopback_daemon();
  loopback_daemon(const loopback_daemon &) = delete;
  loopback_daemon &operator=(const loopback_daemon &) = delete;

  bool listening() const { return port_ > 0; }
  int port() const { return port_; }
  bool has_v6() const { return v6_; }
  // Each connection's bytes, in the order the connections came.
  std::vector<std::string> requests() const;
  void stop();

  // A loopback port that nothing listens on (just closed again).
  static int unused_port();

private:
  void loop();

  daemon_script script_;
  int port_ = 0;
  bool v6_ = false;
  std::vector<int> listeners_;
  int wake_[2] = {-1, -1};
  mutable std::mutex lock_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// An HTTP response around body: status line, Content-Length or chunked
// framing or none (the body runs to the close), optional extra fields.
enum class framing { length, chunked, close };
std::string http_response(const std::string &body, framing f = framing::length,
                          const std::string &status = "200 OK",
                          const std::string &fields = "");

#endif
