#include "log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <ctime>

#include "byte.h"
#include "fmt.h"
#include "str.h"

namespace {
const char *ident = "";
uint64_t pid;
// The local time offset, read on the first line: not at every start,
// since most runs log nothing, and never in a signal handler, where
// localtime is not safe (a line from there before any other takes UTC).
long offset;
int offset_known;
volatile sig_atomic_t in_handler;
int echo_fd = -1;

constexpr char MONTHS[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// Month (0-11) and day of month of a count of days since 1970-01-01.
void civil(int64_t days, unsigned *month, unsigned *day) {
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 2 : mp - 10;
}

char *put(char *p, const char *s) { return p + str_copy(p, s); }

char *put2(char *p, unsigned n, char pad) {
  *p++ = n < 10 ? pad : static_cast<char>('0' + n / 10);
  *p++ = static_cast<char>('0' + n % 10);
  return p;
}

int send_to(int type, const char *line, size_t len) {
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  str_copy(a.sun_path, "/dev/log");
  int r = connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
  // A stream socket takes the NUL byte as the end of the line.
  if (r == 0) r = send(fd, line, type == SOCK_STREAM ? len + 1 : len, MSG_NOSIGNAL) == -1 ? -1 : 0;
  close(fd);
  return r;
}
} // namespace

void log_init(const char *name) { ident = name; }

void log_from_handler() { in_handler = 1; }

void log_to(int fd) { echo_fd = fd; }

void log_write(const char *text, size_t len) {
  char line[4200];
  if (echo_fd >= 0) {
    char *p = put(line, ident);
    p = put(p, ": ");
    const size_t head = static_cast<size_t>(p - line);
    if (len > sizeof line - 2 - head) len = sizeof line - 2 - head;
    byte_copy(p, static_cast<uint32_t>(len), text);
    p[len] = '\n';
    if (write(echo_fd, line, head + len + 1) < 0) {
    }
    return;
  }
  // Both read on the first line only: most runs log nothing.
  if (!pid) pid = static_cast<uint64_t>(getpid());
  if (!offset_known && !in_handler) {
    const time_t now = time(nullptr);
    tm lt;
    if (localtime_r(&now, &lt)) offset = lt.tm_gmtoff;
    offset_known = 1;
  }
  char *p = put(line, "<");
  p += fmt_ulong(p, LOG_MAIL | LOG_INFO);
  p = put(p, ">");
  const int64_t t = static_cast<int64_t>(time(nullptr)) + offset;
  const int64_t days = (t >= 0 ? t : t - 86399) / 86400;
  const auto secs = static_cast<unsigned>(t - days * 86400);
  unsigned month, day;
  civil(days, &month, &day);
  byte_copy(p, 3, MONTHS + 3 * month);
  p += 3;
  *p++ = ' ';
  p = put2(p, day, ' ');
  *p++ = ' ';
  p = put2(p, secs / 3600, '0');
  *p++ = ':';
  p = put2(p, secs / 60 % 60, '0');
  *p++ = ':';
  p = put2(p, secs % 60, '0');
  *p++ = ' ';
  p = put(p, ident);
  p = put(p, "[");
  p += fmt_ulong(p, pid);
  p = put(p, "]: ");
  const size_t head = static_cast<size_t>(p - line);
  if (len > sizeof line - 1 - head) len = sizeof line - 1 - head;
  byte_copy(p, static_cast<uint32_t>(len), text);
  p[len] = 0;
  if (send_to(SOCK_DGRAM, line, head + len) == -1) send_to(SOCK_STREAM, line, head + len);
}
