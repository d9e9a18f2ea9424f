#include "loopback_daemon.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr auto LIFETIME = std::chrono::seconds(60);
constexpr size_t RECORD_MAX = 64u << 20;

int listen_on(int family, int port) {
  const int s = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  const int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int ok;
  if (family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  } else {
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  if (ok != 0 || listen(s, 16) != 0) {
    close(s);
    return -1;
  }
  return s;
}

int port_of(int s) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
  return a.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(a).sin_port)
                                : ntohs(reinterpret_cast<sockaddr_in6 &>(a).sin6_port);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Whether the bytes so far hold a whole request: the head and as many body
// bytes as its Content-Length says.
bool complete(const std::string &req) {
  const size_t end = req.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string head(req, 0, end + 2);
  std::transform(head.begin(), head.end(), head.begin(), lower);
  const size_t at = head.find("\r\ncontent-length:");
  if (at == std::string::npos) return true;
  const unsigned long long len = std::strtoull(head.c_str() + at + 17, nullptr, 10);
  return req.size() >= end + 4 + len;
}

void close_as(int fd, bool reset) {
  if (reset) {
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  close(fd);
}

struct connection {
  int fd;
  size_t index; // into the recorded requests
  bool answered_request = false; // the request is complete and was handled
  bool sending = false;
  size_t sent = 0;
  clock_type::time_point next_byte{};
};

} // namespace

loopback_daemon::loopback_daemon(daemon_script script, bool only_v6, int port)
    : script_(std::move(script)) {
  if (!only_v6) {
    const int s4 = listen_on(AF_INET, port);
    if (s4 >= 0) {
      listeners_.push_back(s4);
      port_ = port_of(s4);
    }
  }
  if (only_v6 || port_ > 0) {
    const int s6 = listen_on(AF_INET6, only_v6 ? port : port_);
    if (s6 >= 0) {
      listeners_.push_back(s6);
      v6_ = true;
      if (only_v6) port_ = port_of(s6);
    }
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { loop(); });
}

loopback_daemon::~loopback_daemon() {
  stop();
  for (int fd : listeners_) close(fd);
  close(wake_[0]);
  close(wake_[1]);
}

void loopback_daemon::stop() {
  if (!thread_.joinable()) return;
  if (write(wake_[1], "x", 1) < 0) {
  }
  thread_.join();
}

std::vector<std::string> loopback_daemon::requests() const {
  std::lock_guard<std::mutex> g(lock_);
  return requests_;
}

int loopback_daemon::unused_port() {
  const int s = listen_on(AF_INET, 0);
  if (s < 0) return 0;
  const int port = port_of(s);
  close(s);
  return port;
}

void loopback_daemon::loop() {
  const auto give_up = clock_type::now() + LIFETIME;
  std::vector<connection> conns;
  const auto drop = [&](size_t i) {
    close_as(conns[i].fd, script_.reset);
    conns.erase(conns.begin() + static_cast<std::ptrdiff_t>(i));
  };
  char buf[65536];
  for (;;) {
    const auto now = clock_type::now();
    if (now >= give_up) break;
    auto wake_at = give_up;
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
    for (int l : listeners_) fds.push_back({l, POLLIN, 0});
    for (const connection &c : conns) {
      short ev = 0;
      if (script_.how != daemon_script::stall && !c.sending) ev |= POLLIN;
      if (c.sending) {
        if (script_.how != daemon_script::trickle || c.next_byte <= now)
          ev |= POLLOUT;
        else
          wake_at = std::min(wake_at, c.next_byte);
      }
      fds.push_back({c.fd, ev, 0});
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake_at - now);
    if (poll(fds.data(), fds.size(), static_cast<int>(wait.count()) + 1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;

    // Connections first: their slots in fds are behind the listeners.
    for (size_t i = conns.size(); i-- > 0;) {
      connection &c = conns[i];
      const short re = fds[1 + listeners_.size() + i].revents;
      if (!re) continue;
      if (re & POLLIN) {
        const ssize_t n = read(c.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
          drop(i);
          continue;
        }
        std::string request;
        {
          std::lock_guard<std::mutex> g(lock_);
          std::string &r = requests_[c.index];
          if (r.size() < RECORD_MAX) r.append(buf, static_cast<size_t>(n));
          if (c.answered_request || !complete(r)) continue;
          if (script_.on_request) request = r;
        }
        c.answered_request = true;
        if (script_.on_request) script_.on_request(request);
        if (script_.how == daemon_script::close_after_request) {
          drop(i);
        } else if (script_.how == daemon_script::answer ||
                   script_.how == daemon_script::trickle) {
          c.sending = true;
          c.next_byte = clock_type::now();
        }
        continue;
      }
      if (re & POLLOUT) {
        const std::string &resp = script_.response;
        const size_t want = script_.how == daemon_script::trickle
                                ? std::min<size_t>(1, resp.size() - c.sent)
                                : resp.size() - c.sent;
        const ssize_t n = want ? send(c.fd, resp.data() + c.sent, want, MSG_NOSIGNAL) : 0;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) {
          drop(i);
          continue;
        }
        c.sent += static_cast<size_t>(n);
        c.next_byte = clock_type::now() + std::chrono::milliseconds(script_.pause_ms);
        if (c.sent == resp.size()) {
          c.sending = false;
          if (!script_.keep_open) drop(i);
        }
        continue;
      }
      drop(i); // hung up or in error
    }

    for (size_t l = 0; l < listeners_.size(); ++l) {
      if (!fds[1 + l].revents) continue;
      const int fd = accept4(listeners_[l], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) continue;
      if (script_.how == daemon_script::close_at_once) {
        close_as(fd, script_.reset);
        std::lock_guard<std::mutex> g(lock_);
        requests_.emplace_back();
        continue;
      }
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard<std::mutex> g(lock_);
      conns.push_back({fd, requests_.size()});
      requests_.emplace_back();
    }
  }
  for (const connection &c : conns) close(c.fd);
}

std::string http_response(const std::string &body, framing f, const std::string &status,
                          const std::string &fields) {
  std::string r = "HTTP/1.1 " + status + "\r\n" + fields;
  switch (f) {
  case framing::length:
    return r + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  case framing::close:
    return r + "Connection: close\r\n\r\n" + body;
  case framing::chunked:
    r += "Transfer-Encoding: chunked\r\n\r\n";
    // Uneven chunks, one with an extension, so that lines of the answer
    // straddle chunk borders.
    for (size_t at = 0, n = 7; at < body.size(); at += n, n = n * 3 % 1000 + 1) {
      const size_t len = std::min(n, body.size() - at);
      char size[32];
      std::snprintf(size, sizeof size, at == 0 ? "%zx;ext=1\r\n" : "%zX\r\n", len);
      r += size + body.substr(at, len) + "\r\n";
    }
    return r + "0\r\nTrailer-Field: x\r\n\r\n";
  }
  return r;
}
