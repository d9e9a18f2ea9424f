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
#include "str.h"

int g_iTimeout = 120;
int g_iConnectTimeout = 5;
char g_sError[256];
char g_sHost[128] = "localhost";
char g_sPort[6] = "8088";

namespace {
char g_sMailFrom[192];
char g_sSenderIp[128];
char g_sSenderID[128];
int g_iOutbound;
int g_iIsStream;
int g_iIsFileStream;
int g_iFileFd = -1; // the spool file of an inline request that streams it
// The address connected to, when the host is a name: failures name it.
char g_sAddress[64];

constexpr char VERSION[] = "1.5";

// Why the request failed, naming the daemon, for the filter's log line.
__attribute__((format(printf, 1, 2))) int fail(const char *fmt, ...) {
  const int n = std::snprintf(g_sError, sizeof g_sError, "daemon %s:%s%s%s%s: ", g_sHost, g_sPort,
                              g_sAddress[0] ? " (" : "", g_sAddress, g_sAddress[0] ? ")" : "");
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(g_sError + n, sizeof g_sError - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
  return 1;
}

// A failed wait or system call: out of time, or what errno says.
int fail_io(const char *what, int waited) {
  if (waited == 0) return fail("%s: time-out after %d s", what, g_iTimeout);
  return fail("%s: %s", what, std::strerror(errno));
}
constexpr uint32_t ANSWER_MAX = 1 << 20;
constexpr char INLINE_PATH[] = "/zelmd/ClassifyMessage_Inline";
constexpr char FILE_PATH[] = "/zelmd/ClassifyMessage_File";

void copy_cut(char *to, uint32_t size, const char *from, uint32_t n) {
  if (n > size - 1) n = size - 1;
  byte_copy(to, n, from);
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

addrinfo *resolve(const deadline &d, bool *named) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo *res = nullptr;
  *named = false;
  if (getaddrinfo(g_sHost, g_sPort, &hints, &res) == 0) return res;
  *named = true;
  // A name: resolved asynchronously, so that a silent resolver cannot
  // hold the message past the deadline.
  static addrinfo ahints;
  static gaicb request;
  ahints = hints;
  ahints.ai_flags = 0;
  request = gaicb{};
  request.ar_name = g_sHost;
  request.ar_service = g_sPort;
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
// takes the connection is used, and g_sError says why none did, address by
// address for a name.
fd_owner connect_daemon(const deadline &d) {
  bool named;
  addrinfo *res = resolve(d, &named);
  if (!res) {
    fail(deadline_left_ms(d) == 0 ? "name lookup: time-out after %d s" : "name lookup failed",
         g_iTimeout);
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
        if (g_iConnectTimeout > 0) {
          const deadline own = deadline_in(g_iConnectTimeout);
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
      if (named) str_copy(g_sAddress, address);
      freeaddrinfo(res);
      return s;
    }
    const bool out_of_time = deadline_left_ms(d) == 0;
    const int limit_s = out_of_time || g_iConnectTimeout <= 0 ? g_iTimeout : g_iConnectTimeout;
    char one_why[96];
    if (err == ETIMEDOUT) std::snprintf(one_why, sizeof one_why, "time-out after %d s", limit_s);
    else std::snprintf(one_why, sizeof one_why, "%s", std::strerror(err));
    const int n = named ? std::snprintf(why + used, sizeof why - used, "%s%s: %s",
                                        used ? "; " : "", address, one_why)
                        : std::snprintf(why + used, sizeof why - used, "%s", one_why);
    if (n > 0) used = std::min(sizeof why - 1, used + static_cast<size_t>(n));
    if (out_of_time) break; // no time left for the other addresses
  }
  fail("connect: %s", why);
  freeaddrinfo(res);
  return fd_owner();
}

// Waits for fd to take more after a write that would block; 0, or the
// failure reported.
int wait_writable(int fd, const deadline &d) {
  if (errno != error_again) return fail_io("sending the request", -1);
  const int waited = wait_for(fd, POLLOUT, d);
  return waited == 1 ? 0 : fail_io("sending the request", waited);
}

int send_iov(int fd, iovec *iov, int n, const deadline &d) {
  while (n > 0) {
    const ssize_t w = writev(fd, iov, n);
    if (w == -1) {
      if (errno == error_intr) continue;
      if (wait_writable(fd, d)) return -1;
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
int send_spool(int sock, int file, uint64_t size, const deadline &d) {
  off_t off = 0;
  while (static_cast<uint64_t>(off) < size) {
    const ssize_t w =
        sendfile(sock, file, &off, static_cast<size_t>(size - static_cast<uint64_t>(off)));
    if (w == 0) return fail("spool file shorter than it was");
    if (w == -1) {
      if (errno == error_intr) continue;
      if (wait_writable(sock, d)) return -1;
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

int build_head(stralloc *head, const char *target, uint64_t length) {
  const bool v6 = g_sHost[str_chr(g_sHost, ':')] != 0;
  return stralloc_copys(head, "POST ") && stralloc_cats(head, target) &&
         stralloc_cats(head, " HTTP/1.1\r\nHost: ") && stralloc_cats(head, v6 ? "[" : "") &&
         stralloc_cats(head, g_sHost) && stralloc_cats(head, v6 ? "]:" : ":") &&
         stralloc_cats(head, g_sPort) && stralloc_cats(head, "\r\nUser-Agent: qmail-zelmd/") &&
         stralloc_cats(head, VERSION) &&
         stralloc_cats(head, "\r\nContent-Type: text/plain\r\nContent-Length: ") &&
         put_number(head, length) && stralloc_cats(head, "\r\nConnection: close\r\n\r\n");
}

// 0 with the body of the answer in r->body, else 1 with the reason.
int receive(int fd, http_reader *r, const deadline &d) {
  static char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == -1) {
      if (errno == error_intr) continue;
      if (errno != error_again) return fail_io("reading the answer", -1);
      const int waited = wait_for(fd, POLLIN, d);
      if (waited != 1) return fail_io("reading the answer", waited);
      continue;
    }
    const int state =
        n == 0 ? http_reader_eof(r) : http_reader_feed(r, buf, static_cast<size_t>(n));
    if (state == 1) return 0;
    if (state == 0) continue;
    if (r->too_large) return fail("answer over %u MiB", r->body_limit >> 20);
    return fail(n == 0 ? "answer cut short" : "malformed answer");
  }
}

int exchange(const stralloc *body, const char *target, char **response) {
  const deadline d = deadline_in(g_iTimeout);
  uint64_t filesize = 0;
  if (g_iFileFd >= 0) {
    struct stat st;
    if (fstat(g_iFileFd, &st) == -1) return fail("spool file: %s", std::strerror(errno));
    filesize = static_cast<uint64_t>(st.st_size);
  }
  stralloc head = {};
  if (!build_head(&head, target, body->len + filesize)) return fail("out of memory");

  fd_owner s = connect_daemon(d);
  if (!s.ok()) return 1;
  // Head and body leave in as few segments as they fit in.
  const int cork = 1;
  const bool streamed = g_iFileFd >= 0;
  if (streamed) setsockopt(s.get(), IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
  iovec iov[2] = {{head.s, head.len}, {body->s, body->len}};
  if (send_iov(s.get(), iov, 2, d) == -1) return 1;
  if (streamed) {
    const fd_owner file(g_iFileFd);
    g_iFileFd = -1;
    if (send_spool(s.get(), file.get(), filesize, d)) return 1;
    const int uncork = 0;
    setsockopt(s.get(), IPPROTO_TCP, TCP_CORK, &uncork, sizeof uncork);
  }

  static http_reader r;
  http_reader_init(&r, ANSWER_MAX);
  if (receive(s.get(), &r, d)) return 1;
  // An error page, of the daemon or of a proxy in front of it, is no verdict.
  if (r.status < 200 || r.status > 299) return fail("status %d", r.status);
  if (!r.body.len) return fail("empty answer");
  if (!stralloc_append(&r.body, "")) return fail("out of memory");
  *response = r.body.s;
  return 0;
}
} // namespace

void SetDestination(char *url) {
  char *p = url;
  p += str_copy(p, "http://");
  p += str_copy(p, g_sHost);
  p += str_copy(p, ":");
  str_copy(p, g_sPort);
}

int SetZELMHeader(stralloc *body) {
  return stralloc_copys(body, "X-ZELM-PVer: 0000001\r\n") &&
         stralloc_cats(body, "X-ZELM-MailFrom: ") && stralloc_cats(body, g_sMailFrom) &&
         stralloc_cats(body, "\r\nX-ZELM-SenderIP: ") && stralloc_cats(body, g_sSenderIp) &&
         stralloc_cats(body, "\r\n") &&
         (g_iOutbound != 1 || (stralloc_cats(body, "X-ZELM-SenderID: ") &&
                               stralloc_cats(body, g_sSenderID) && stralloc_cats(body, "\r\n")));
}

int SetBody(stralloc *body, char *url, const char *message, uint32_t messagelen) {
  if (!g_iIsStream) {
    str_copy(url + str_len(url), FILE_PATH);
    return stralloc_cats(body, "X-ZELM-FileName: ") && stralloc_cats(body, message) &&
           stralloc_cats(body, "\r\n\r\n");
  }
  str_copy(url + str_len(url), INLINE_PATH);
  if (!stralloc_cats(body, "\r\n")) return 0;
  if (!g_iIsFileStream) return stralloc_catb(body, message, messagelen);
  // The spool file is sent as it is read, never held whole in memory.
  g_iFileFd = open_read(message);
  if (g_iFileFd == -1) {
    if (write(1, "No file found\n", 14) < 0) {
    }
    return !fail("cannot reread spool file %s: %s", message, std::strerror(errno));
  }
  return 1;
}

int process_zelmd_request(const char *host, uint32_t hostlen, const char *port, uint32_t portlen,
                          const char *mailfrom, const char *senderip, const char *senderid,
                          char outbound, const char *message, uint32_t messagelen, char inmemory,
                          char **response) {
  g_sError[0] = 0;
  g_sAddress[0] = 0;
  if (hostlen) copy_cut(g_sHost, sizeof g_sHost, host, hostlen);
  if (portlen) copy_cut(g_sPort, sizeof g_sPort, port, portlen);
  // Client-supplied text: a CR LF in it must not add fields to the request.
  safe_copy(g_sMailFrom, sizeof g_sMailFrom, mailfrom, false);
  safe_copy(g_sSenderIp, sizeof g_sSenderIp, senderip, false);
  g_iOutbound = outbound;
  if (outbound == 1) safe_copy(g_sSenderID, sizeof g_sSenderID, senderid, false);

  // Only a spooled message for a daemon on this very host travels as a path.
  const bool local = !str_diff(g_sHost, "localhost");
  g_iIsStream = inmemory || !local;
  g_iIsFileStream = !inmemory && !local;

  char url[200];
  static stralloc body;
  SetDestination(url);
  if (!SetZELMHeader(&body)) return fail("out of memory");
  if (!SetBody(&body, url, message, messagelen)) return g_sError[0] ? 1 : fail("out of memory");
  const char *target = url + str_len("http://") + str_len(g_sHost) + 1 + str_len(g_sPort);
  return exchange(&body, target, response);
}
