/* The benchmark's floor: only the work that no queue filter can avoid.
 *
 *   floor QUEUE              read message and envelope, hand both on
 *   floor QUEUE HOST PORT    the same, after one HTTP POST to the daemon
 *
 * The message comes on descriptor 0 and the envelope on descriptor 1.
 * From 32000 bytes on the message is spooled to a file, and for a spooled
 * message and the host "localhost" only the spool path is posted; else the
 * message itself. The body carries the same request lines a filter sends.
 * The answer is read to its end and only its status is looked at. Then
 * QUEUE runs on two pipes, gets message and envelope unchanged, and its
 * exit code is ours. No configuration, no parsing, no logging. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#define MEMORY_MAX 32000
#define SPOOL_DIR "/tmp/qmail-zelmd-floor"

static char buf[65536];
static char envelope[131072];
static char spool[64];
static int spool_fd = -1;

/* Every end, success included: the spool file goes with us. */
static void leave(int code) {
  if (spool[0]) unlink(spool);
  _exit(code);
}

static void write_all(int fd, const char *p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      leave(71);
    }
    p += w;
    n -= (size_t)w;
  }
}

static void send_spool(int fd, off_t size) {
  off_t off = 0;
  while (off < size) {
    ssize_t w = sendfile(fd, spool_fd, &off, (size_t)(size - off));
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      leave(71);
    }
  }
}

static ssize_t read_some(int fd, char *p, size_t n) {
  for (;;) {
    ssize_t r = read(fd, p, n);
    if (r >= 0) return r;
    if (errno != EINTR) leave(1);
  }
}

/* Length of the in-memory message, or -1 with the message in the spool. */
static ssize_t read_message(off_t *spooled) {
  size_t len = 0;
  while (len < MEMORY_MAX) {
    ssize_t r = read_some(0, buf + len, MEMORY_MAX - len);
    if (r == 0) return (ssize_t)len;
    len += (size_t)r;
  }
  if (mkdir(SPOOL_DIR, 0755) < 0 && errno != EEXIST) leave(71);
  snprintf(spool, sizeof spool, "%s/%d.msg", SPOOL_DIR, (int)getpid());
  spool_fd = open(spool, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (spool_fd < 0) leave(71);
  *spooled = (off_t)len;
  write_all(spool_fd, buf, len);
  for (;;) {
    ssize_t r = read_some(0, buf, sizeof buf);
    if (r == 0) return -1;
    write_all(spool_fd, buf, (size_t)r);
    *spooled += r;
  }
}

static size_t read_envelope(void) {
  size_t len = 0;
  for (;;) {
    if (len == sizeof envelope) leave(91);
    ssize_t r = read_some(1, envelope + len, sizeof envelope - len);
    if (r == 0) return len;
    len += (size_t)r;
  }
}

static int connect_to(const char *host, const char *port) {
  struct addrinfo hints, *res, *a;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host, port, &hints, &res) != 0) leave(71);
  for (a = res; a; a = a->ai_next) {
    int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) continue;
    if (connect(s, a->ai_addr, a->ai_addrlen) == 0) {
      freeaddrinfo(res);
      return s;
    }
    close(s);
  }
  leave(71);
  return -1;
}

static void post(const char *host, const char *port, size_t memlen, off_t spooled) {
  const int file = memlen == (size_t)-1 && strcmp(host, "localhost") == 0;
  const char *sender = envelope[0] == 'F' ? envelope + 1 : "";
  char lines[1024], head[512];
  int n = snprintf(lines, sizeof lines,
                   "X-ZELM-PVer: 0000001\r\nX-ZELM-MailFrom: %.191s\r\n"
                   "X-ZELM-SenderIP: 127.0.0.1\r\n%s%s%s",
                   sender, file ? "X-ZELM-FileName: " : "\r\n", file ? spool : "",
                   file ? "\r\n\r\n" : "");
  unsigned long long body = (unsigned long long)n;
  if (!file) body += memlen == (size_t)-1 ? (unsigned long long)spooled : memlen;
  int h = snprintf(head, sizeof head,
                   "POST /zelmd/ClassifyMessage_%s HTTP/1.1\r\nHost: %s:%s\r\n"
                   "Content-Type: text/plain\r\nContent-Length: %llu\r\n"
                   "Connection: close\r\n\r\n",
                   file ? "File" : "Inline", host, port, body);

  int s = connect_to(host, port);
  struct iovec iov[3] = {{head, (size_t)h}, {lines, (size_t)n}, {buf, 0}};
  if (!file && memlen != (size_t)-1) iov[2].iov_len = memlen;
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = iov;
  msg.msg_iovlen = 3;
  size_t total = (size_t)h + (size_t)n + iov[2].iov_len;
  const int more = !file && memlen == (size_t)-1 ? MSG_MORE : 0;
  while (total) {
    ssize_t w = sendmsg(s, &msg, more | MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      leave(71);
    }
    total -= (size_t)w;
    while (msg.msg_iovlen && (size_t)w >= msg.msg_iov->iov_len) {
      w -= (ssize_t)msg.msg_iov->iov_len;
      msg.msg_iov++;
      msg.msg_iovlen--;
    }
    if (msg.msg_iovlen) {
      msg.msg_iov->iov_base = (char *)msg.msg_iov->iov_base + w;
      msg.msg_iov->iov_len -= (size_t)w;
    }
  }
  if (more) send_spool(s, spooled);

  /* The answer, read to the end; only "HTTP/1.x 200" at its start counts. */
  char answer[4096];
  size_t got = 0;
  for (;;) {
    ssize_t r = read(s, answer + got, sizeof answer - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += (size_t)r;
    if (got == sizeof answer) got = 12; /* keep the status line only */
  }
  close(s);
  if (got < 12 || memcmp(answer, "HTTP/1.", 7) || memcmp(answer + 8, " 200", 4)) leave(71);
}

/* Kept out of main so that vfork shares no live locals of it. */
static __attribute__((noinline)) pid_t start_queue(char *path, int pm[2], int pe[2]) {
  if (pipe2(pm, O_CLOEXEC) < 0 || pipe2(pe, O_CLOEXEC) < 0) leave(71);
  char *qargv[2] = {path, NULL};
  pid_t pid = vfork();
  if (pid < 0) leave(71);
  if (pid == 0) {
    if (dup2(pm[0], 0) < 0 || dup2(pe[0], 1) < 0) _exit(120);
    execv(qargv[0], qargv);
    _exit(120);
  }
  close(pm[0]);
  close(pe[0]);
  return pid;
}

int main(int argc, char **argv) {
  if (argc != 2 && argc != 4) {
    static const char usage[] = "usage: floor QUEUE [HOST PORT]\n";
    write(2, usage, sizeof usage - 1);
    return 100;
  }
  off_t spooled = 0;
  const size_t memlen = (size_t)read_message(&spooled);
  const size_t envlen = read_envelope();
  if (argc == 4) post(argv[2], argv[3], memlen, spooled);

  int pm[2], pe[2];
  const pid_t pid = start_queue(argv[1], pm, pe);
  if (memlen == (size_t)-1)
    send_spool(pm[1], spooled);
  else
    write_all(pm[1], buf, memlen);
  close(pm[1]);
  write_all(pe[1], envelope, envlen);
  close(pe[1]);

  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) leave(71);
  leave(WIFEXITED(status) ? WEXITSTATUS(status) : 71);
}
