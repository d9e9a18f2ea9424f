#include "http_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "byte.h"
#include "error.h"
#include "fd.h"
#include "http_reader.h"
#include "open.h"
#include "safe.h"
#include "scan.h"
#include "str.h"

namespace {
// One request on its way: what it is, where it goes, and why it failed.
struct exchange {
  const zelmd_request &rq;
  zelmd_daemon d;
  char address[64]; // the address connected to, when the host is a name
  zelmd_reply *reply;
  int spool_fd; // the spool file of an inline request that streams it
  // The addresses of "localhost", when they are taken without a lookup.
  sockaddr_in v4;
  sockaddr_in6 v6;
  addrinfo loopback[2];
};

// Why the request failed, naming the daemon, for the filter's log line.
__attribute__((format(printf, 2, 3))) int fail(exchange &x, const char *fmt, ...) {
  char *why = x.reply->why;
  const size_t size = sizeof x.reply->why;
  const int n = std::snprintf(why, size, "daemon %s:%s%s%s%s: ", x.d.host, x.d.port,
                              x.address[0] ? " (" : "", x.address, x.address[0] ? ")" : "");
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(why + n, size - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
  return -1;
}

// A failed wait or system call: out of time, or what errno says.
int fail_io(exchange &x, const char *what, int waited) {
  if (waited == 0) return fail(x, "%s: time-out after %d s", what, x.rq.timeout);
  return fail(x, "%s: %s", what, std::strerror(errno));
}
constexpr uint32_t ANSWER_MAX = 1 << 20;
constexpr char INLINE_PATH[] = "/zelmd/ClassifyMessage_Inline";
constexpr char FILE_PATH[] = "/zelmd/ClassifyMessage_File";

void copy_cut(char *to, uint32_t size, std::string_view from) {
  const uint32_t n = from.size() > size - 1 ? size - 1 : static_cast<uint32_t>(from.size());
  byte_copy(to, n, from.data());
  to[n] = 0;
}

// The whole exchange shares one deadline.
struct deadline {
  int64_t at_ms; // -1: none
};

int64_t mono_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

deadline deadline_in(int seconds) {
  return {seconds > 0 ? mono_ms() + static_cast<int64_t>(seconds) * 1000 : -1};
}

int deadline_left_ms(const deadline &d) {
  if (d.at_ms < 0) return -1;
  const int64_t left = d.at_ms - mono_ms();
  return left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// 1 when fd is ready, 0 when the deadline passed, -1 on error.
int wait_for(int fd, short events, const deadline &d) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, deadline_left_ms(d));
    if (r == -1 && errno == error_intr) continue;
    return r < 0 ? -1 : r;
  }
}

// "localhost" is this host's loopback, IPv4 first, taken without a lookup:
// a lookup starts the resolver's helper thread, which stays for a second
// after the answer, and with a second thread in the process the queue
// program is run on the other CPU, so that a spooled message crosses CPUs
// once per pipe-full. Null for a port that is not a number.
addrinfo *loopback(exchange &x) {
  uint64_t port;
  const uint32_t n = scan_ulong(x.d.port, &port);
  if (!n || x.d.port[n] || port > 65535) return nullptr;
  x.v4 = {};
  x.v4.sin_family = AF_INET;
  x.v4.sin_port = htons(static_cast<uint16_t>(port));
  x.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  x.v6 = {};
  x.v6.sin6_family = AF_INET6;
  x.v6.sin6_port = x.v4.sin_port;
  x.v6.sin6_addr = in6addr_loopback;
  x.loopback[0] = {};
  x.loopback[0].ai_family = AF_INET;
  x.loopback[0].ai_socktype = SOCK_STREAM;
  x.loopback[0].ai_protocol = IPPROTO_TCP;
  x.loopback[0].ai_addrlen = sizeof x.v4;
  x.loopback[0].ai_addr = reinterpret_cast<sockaddr *>(&x.v4);
  x.loopback[0].ai_next = &x.loopback[1];
  x.loopback[1] = x.loopback[0];
  x.loopback[1].ai_family = AF_INET6;
  x.loopback[1].ai_addrlen = sizeof x.v6;
  x.loopback[1].ai_addr = reinterpret_cast<sockaddr *>(&x.v6);
  x.loopback[1].ai_next = nullptr;
  return x.loopback;
}

void release(exchange &x, addrinfo *res) {
  if (res != x.loopback) freeaddrinfo(res);
}

addrinfo *resolve(exchange &x, const deadline &d, bool *named) {
  if (!str_diff(x.d.host, "localhost")) {
    *named = true;
    if (addrinfo *res = loopback(x)) return res;
  }
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo *res = nullptr;
  *named = false;
  if (getaddrinfo(x.d.host, x.d.port, &hints, &res) == 0) return res;
  *named = true;
  // A name: resolved asynchronously, so that a silent resolver cannot
  // hold the message past the deadline.
  static addrinfo ahints;
  static gaicb request;
  ahints = hints;
  ahints.ai_flags = 0;
  request = gaicb{};
  request.ar_name = x.d.host;
  request.ar_service = x.d.port;
  request.ar_request = &ahints;
  gaicb *list[] = {&request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) return nullptr;
  for (;;) {
    const int left = deadline_left_ms(d);
    timespec ts{left / 1000, static_cast<long>(left % 1000) * 1000000};
    const int r = gai_suspend(list, 1, left < 0 ? nullptr : &ts);
    if (r == EAI_INTR) continue;
    if (r != 0 && r != EAI_ALLDONE) {
      gai_cancel(&request);
      return nullptr;
    }
    if (gai_error(&request) == EAI_INPROGRESS) continue;
    return gai_error(&request) == 0 ? request.ar_result : nullptr;
  }
}

// The addresses of the name in turn, each given at most the connect limit
// (never past the deadline of the whole exchange), so that one address that
// drops packets does not cost every message the whole time; the first that
// takes the connection is used, and the reply says why none did, address by
// address for a name.
fd_owner connect_daemon(exchange &x, const deadline &d) {
  const int connect_limit = x.rq.connect_timeout;
  bool named;
  addrinfo *res = resolve(x, d, &named);
  if (!res) {
    fail(x, deadline_left_ms(d) == 0 ? "name lookup: time-out after %d s" : "name lookup failed",
         x.rq.timeout);
    return fd_owner();
  }
  char why[200] = "";
  size_t used = 0;
  int waited = -1;
  for (const addrinfo *a = res; a; a = a->ai_next) {
    char address[64] = "";
    getnameinfo(a->ai_addr, a->ai_addrlen, address, sizeof address, nullptr, 0, NI_NUMERICHOST);
    fd_owner s(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    int err = s.ok() ? 0 : errno;
    if (s.ok() && connect(s.get(), a->ai_addr, a->ai_addrlen) == -1) {
      err = errno;
      if (err == EINPROGRESS) {
        deadline limit = d;
        if (connect_limit > 0) {
          const deadline own = deadline_in(connect_limit);
          if (limit.at_ms < 0 || own.at_ms < limit.at_ms) limit = own;
        }
        waited = wait_for(s.get(), POLLOUT, limit);
        socklen_t len = sizeof err;
        if (waited < 0) err = errno;
        else if (waited == 0) err = ETIMEDOUT;
        else if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) == -1) err = errno;
      }
    }
    if (!err) {
      const int one = 1;
      setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (named) str_copy(x.address, address);
      release(x, res);
      return s;
    }
    const bool out_of_time = deadline_left_ms(d) == 0;
    const int limit_s = out_of_time || connect_limit <= 0 ? x.rq.timeout : connect_limit;
    char one_why[96];
    if (err == ETIMEDOUT) std::snprintf(one_why, sizeof one_why, "time-out after %d s", limit_s);
    else std::snprintf(one_why, sizeof one_why, "%s", std::strerror(err));
    const int n = named ? std::snprintf(why + used, sizeof why - used, "%s%s: %s",
                                        used ? "; " : "", address, one_why)
                        : std::snprintf(why + used, sizeof why - used, "%s", one_why);
    if (n > 0) used = std::min(sizeof why - 1, used + static_cast<size_t>(n));
    if (out_of_time) break; // no time left for the other addresses
  }
  fail(x, "connect: %s", why);
  release(x, res);
  return fd_owner();
}

// Waits for fd to take more after a write that would block; 0, or the
// failure reported.
int wait_writable(exchange &x, int fd, const deadline &d) {
  if (errno != error_again) return fail_io(x, "sending the request", -1);
  const int waited = wait_for(fd, POLLOUT, d);
  return waited == 1 ? 0 : fail_io(x, "sending the request", waited);
}

int send_iov(exchange &x, int fd, iovec *iov, int n, const deadline &d) {
  while (n > 0) {
    const ssize_t w = writev(fd, iov, n);
    if (w == -1) {
      if (errno == error_intr) continue;
      if (wait_writable(x, fd, d)) return -1;
      continue;
    }
    size_t done = static_cast<size_t>(w);
    while (n > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --n;
    }
    if (n > 0) {
      iov->iov_base = static_cast<char *>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
  return 0;
}

// The spool file straight from the page cache onto the socket.
int send_spool(exchange &x, int sock, int file, uint64_t size, const deadline &d) {
  off_t off = 0;
  while (static_cast<uint64_t>(off) < size) {
    const ssize_t w =
        sendfile(sock, file, &off, static_cast<size_t>(size - static_cast<uint64_t>(off)));
    if (w == 0) return fail(x, "spool file shorter than it was");
    if (w == -1) {
      if (errno == error_intr) continue;
      if (wait_writable(x, sock, d)) return -1;
    }
  }
  return 0;
}

int put_number(stralloc *sa, uint64_t n) {
  char digits[24];
  int i = sizeof digits;
  do {
    digits[--i] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  return stralloc_catb(sa, digits + i,
                       static_cast<uint32_t>(sizeof digits - static_cast<size_t>(i)));
}

int build_head(stralloc *head, const zelmd_daemon &d, const char *target, uint64_t length) {
  const bool v6 = d.host[str_chr(d.host, ':')] != 0;
  return stralloc_copys(head, "POST ") && stralloc_cats(head, target) &&
         stralloc_cats(head, " HTTP/1.1\r\nHost: ") && stralloc_cats(head, v6 ? "[" : "") &&
         stralloc_cats(head, d.host) && stralloc_cats(head, v6 ? "]:" : ":") &&
         stralloc_cats(head, d.port) && stralloc_cats(head, "\r\nUser-Agent: qmail-zelmd/") &&
         stralloc_cats(head, ZELMD_VERSION) &&
         stralloc_cats(head, "\r\nContent-Type: text/plain\r\nContent-Length: ") &&
         put_number(head, length) && stralloc_cats(head, "\r\nConnection: close\r\n\r\n");
}

// 0 with the body of the answer in r->body, else -1 with the reason.
int receive(exchange &x, int fd, http_reader *r, const deadline &d) {
  static char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == -1) {
      if (errno == error_intr) continue;
      if (errno != error_again) return fail_io(x, "reading the answer", -1);
      const int waited = wait_for(fd, POLLIN, d);
      if (waited != 1) return fail_io(x, "reading the answer", waited);
      continue;
    }
    const int state =
        n == 0 ? http_reader_eof(r) : http_reader_feed(r, buf, static_cast<size_t>(n));
    if (state == 1) return 0;
    if (state == 0) continue;
    if (r->too_large) return fail(x, "answer over %u MiB", r->body_limit >> 20);
    return fail(x, n == 0 ? "answer cut short" : "malformed answer");
  }
}

int send_and_receive(exchange &x, const stralloc *body, const char *target) {
  const deadline d = deadline_in(x.rq.timeout);
  // Closed on every way out.
  const fd_owner file(x.spool_fd);
  uint64_t filesize = 0;
  if (file.ok()) {
    struct stat st;
    if (fstat(file.get(), &st) == -1) return fail(x, "spool file: %s", std::strerror(errno));
    filesize = static_cast<uint64_t>(st.st_size);
  }
  stralloc head = {};
  if (!build_head(&head, x.d, target, body->len + filesize)) return fail(x, "out of memory");

  fd_owner s = connect_daemon(x, d);
  if (!s.ok()) return -1;
  // Head and body leave in as few segments as they fit in.
  const int cork = 1;
  if (file.ok()) setsockopt(s.get(), IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
  iovec iov[2] = {{head.s, head.len}, {body->s, body->len}};
  if (send_iov(x, s.get(), iov, 2, d) == -1) return -1;
  if (file.ok()) {
    if (send_spool(x, s.get(), file.get(), filesize, d)) return -1;
    const int uncork = 0;
    setsockopt(s.get(), IPPROTO_TCP, TCP_CORK, &uncork, sizeof uncork);
  }

  http_reader r;
  http_reader_init(&r, ANSWER_MAX);
  if (receive(x, s.get(), &r, d)) return -1;
  // An error page, of the daemon or of a proxy in front of it, is no verdict.
  if (r.status < 200 || r.status > 299) return fail(x, "status %d", r.status);
  if (!r.body.len) return fail(x, "empty answer");
  if (!stralloc_append(&r.body, "")) return fail(x, "out of memory");
  x.reply->answer = r.body;
  return 0;
}

// The request body: the lines of SetZELMHeader, then the message, or for a
// file request only its file's name. A spooled message for an inline
// request is opened here and sent as it is read, never held whole.
int SetBody(exchange &x, stralloc *body, char *url) {
  const zelmd_request &rq = x.rq;
  if (rq.spool_file && !rq.spool_inline && zelmd_reads_files(x.d.host)) {
    str_copy(url + str_len(url), FILE_PATH);
    return stralloc_cats(body, "X-ZELM-FileName: ") && stralloc_cats(body, rq.spool_file) &&
                   stralloc_cats(body, "\r\n\r\n")
               ? 0
               : fail(x, "out of memory");
  }
  str_copy(url + str_len(url), INLINE_PATH);
  if (!stralloc_cats(body, "\r\n")) return fail(x, "out of memory");
  if (!rq.spool_file)
    return stralloc_catb(body, rq.message.data(), static_cast<uint32_t>(rq.message.size()))
               ? 0
               : fail(x, "out of memory");
  x.spool_fd = open_read(rq.spool_file);
  if (x.spool_fd == -1) {
    const int e = errno;
    if (write(1, "No file found\n", 14) < 0) {
    }
    return fail(x, "cannot reread spool file %s: %s", rq.spool_file, std::strerror(e));
  }
  return 0;
}
} // namespace

zelmd_daemon zelmd_daemon_of(const zelmd_request &rq) {
  zelmd_daemon d = {"localhost", "8088"};
  if (!rq.host.empty()) copy_cut(d.host, sizeof d.host, rq.host);
  if (!rq.port.empty()) copy_cut(d.port, sizeof d.port, rq.port);
  return d;
}

// Only a daemon on this very host can read the spool file by its name.
bool zelmd_reads_files(std::string_view host) { return host.empty() || host == "localhost"; }

void SetDestination(char *url, const zelmd_daemon &d) {
  char *p = url;
  p += str_copy(p, "http://");
  p += str_copy(p, d.host);
  p += str_copy(p, ":");
  str_copy(p, d.port);
}

int SetZELMHeader(stralloc *body, const zelmd_request &rq) {
  // Client-supplied text: a CR LF in it must not add fields to the request.
  char mail_from[ZELMD_MAILFROM_MAX + 1], sender_ip[ZELMD_SENDERIP_MAX + 1];
  char sender_id[ZELMD_SENDERID_MAX + 1];
  safe_copy(mail_from, sizeof mail_from, rq.mail_from, false);
  safe_copy(sender_ip, sizeof sender_ip, rq.sender_ip, false);
  if (rq.sender_id) safe_copy(sender_id, sizeof sender_id, rq.sender_id, false);
  return stralloc_copys(body, "X-ZELM-PVer: 0000001\r\n") &&
         stralloc_cats(body, "X-ZELM-MailFrom: ") && stralloc_cats(body, mail_from) &&
         stralloc_cats(body, "\r\nX-ZELM-SenderIP: ") && stralloc_cats(body, sender_ip) &&
         stralloc_cats(body, "\r\n") &&
         (!rq.sender_id || (stralloc_cats(body, "X-ZELM-SenderID: ") &&
                            stralloc_cats(body, sender_id) && stralloc_cats(body, "\r\n")));
}

int process_zelmd_request(const zelmd_request &rq, zelmd_reply *reply) {
  exchange x = {rq, zelmd_daemon_of(rq), "", reply, -1, {}, {}, {}};
  reply->why[0] = 0;
  char url[200];
  stralloc body = {};
  SetDestination(url, x.d);
  if (!SetZELMHeader(&body, rq)) return fail(x, "out of memory");
  if (SetBody(x, &body, url) == -1) return -1;
  const char *target = url + str_len("http://") + str_len(x.d.host) + 1 + str_len(x.d.port);
  return send_and_receive(x, &body, target);
}
