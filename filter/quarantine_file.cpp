#include "quarantine_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "byte.h"
#include "error.h"
#include "fmt.h"
#include "safe.h"
#include "writeall.h"

// Nothing here may need the C++ runtime: the filter is linked as C.
namespace {
constexpr char MAGIC[] = "qmail-zelmd quarantine 1\n";
constexpr char UNFINISHED[] = "unfinished----------";
constexpr size_t WIDTH = sizeof UNFINISHED - 1;
// Where the message's length goes: behind the magic, the two lengths
// before it and its own name.
constexpr off_t MESSAGE_FIELD_AT = (sizeof MAGIC - 1) + (9 + WIDTH + 1) + (7 + WIDTH + 1) + 8;
// A longer header is somebody else's file; no part is 2^62 bytes or more,
// so the sum of the parts cannot wrap.
constexpr size_t HEADER_MAX = 4096;
constexpr uint64_t PART_MAX = uint64_t{1} << 62;

size_t put(char *to, std::string_view s) {
  byte_copy(to, static_cast<uint32_t>(s.size()), s.data());
  return s.size();
}

// u in WIDTH digits, zeros in front.
void fixed(char *to, uint64_t u) {
  char digits[WIDTH];
  const uint32_t n = fmt_ulong(digits, u);
  for (size_t i = 0; i < WIDTH - n; ++i) to[i] = '0';
  byte_copy(to + WIDTH - n, n, digits);
}

size_t length_line(char *to, std::string_view name, uint64_t u) {
  size_t n = put(to, name);
  fixed(to + n, u);
  n += WIDTH;
  to[n++] = '\n';
  return n;
}

int readall(int fd, char *buf, size_t len, uint64_t at, size_t *got) {
  *got = 0;
  while (*got < len) {
    const ssize_t r = pread(fd, buf + *got, len - *got, static_cast<off_t>(at + *got));
    if (r == -1 && errno == error_intr) continue;
    if (r == -1) return -1;
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return 0;
}

int bad(quarantine_info *q, const char *why) {
  q->why = why;
  errno = EINVAL;
  return -1;
}

// A length field's value, or -1.
int64_t length_of(std::string_view v) {
  if (v.size() != WIDTH) return -1;
  uint64_t u = 0;
  for (const char c : v) {
    if (c < '0' || c > '9') return -1;
    u = u * 10 + static_cast<uint64_t>(c - '0');
    if (u >= PART_MAX) return -1;
  }
  return static_cast<int64_t>(u);
}

// Items, each ended by NUL, none empty, then the closing empty item.
bool envelope_ok(const char *s, uint64_t len) {
  if (len < 3 || s[0] == 0 || s[len - 1] != 0 || s[len - 2] != 0) return false;
  for (uint64_t i = 1; i < len - 1; ++i)
    if (s[i] == 0 && s[i - 1] == 0) return false;
  return true;
}
} // namespace

int quarantine_create(std::string_view dir, char *name, size_t size) {
  if (dir.empty()) {
    errno = error_noent;
    return -1;
  }
  char tail[64];
  size_t n = 0;
  tail[n++] = '/';
  n += fmt_ulong(tail + n, static_cast<uint64_t>(time(nullptr)));
  tail[n++] = '.';
  n += fmt_ulong(tail + n, static_cast<uint64_t>(getpid()));
  n += put(tail + n, ".XXXXXX");
  // A cut name would make the file somewhere else, or fail with EINVAL.
  if (byte_chr(dir.data(), static_cast<uint32_t>(dir.size()), 0) != dir.size() ||
      dir.size() + n >= size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  put(name, dir);
  put(name + dir.size(), {tail, n});
  name[dir.size() + n] = 0;
  return mkostemp(name, O_CLOEXEC);
}

int quarantine_begin(int fd, std::string_view items, std::string_view answer,
                     std::string_view remoteip, std::string_view reason) {
  char head[1024];
  size_t n = put(head, {MAGIC, sizeof MAGIC - 1});
  n += length_line(head + n, "envelope ", items.size() + 1);
  n += length_line(head + n, "answer ", answer.size());
  n += put(head + n, "message ");
  n += put(head + n, {UNFINISHED, WIDTH});
  n += put(head + n, "\nip ");
  n += safe_copy(head + n, 100, remoteip, false);
  const time_t now = time(nullptr);
  struct tm t;
  n += put(head + n, "\ntime ");
  if (gmtime_r(&now, &t)) n += strftime(head + n, 32, "%Y-%m-%dT%H:%M:%SZ", &t);
  n += put(head + n, "\nreason ");
  n += safe_copy(head + n, 600, reason, false);
  n += put(head + n, "\n\n");
  if (writeall(fd, head, n) == -1 || writeall(fd, items.data(), items.size()) == -1 ||
      writeall(fd, "", 1) == -1 || writeall(fd, answer.data(), answer.size()) == -1)
    return -1;
  return 0;
}

int quarantine_end(int fd, uint64_t message_len) {
  char value[WIDTH];
  fixed(value, message_len);
  const ssize_t w = pwrite(fd, value, WIDTH, MESSAGE_FIELD_AT);
  if (w == -1) return -1;
  if (w != static_cast<ssize_t>(WIDTH)) {
    errno = EIO;
    return -1;
  }
  return fsync(fd);
}

int quarantine_read(int fd, quarantine_info *q) {
  q->why = nullptr;
  struct stat st;
  if (fstat(fd, &st) == -1) return -1;
  if (!S_ISREG(st.st_mode)) return bad(q, "not a quarantine file: not a regular file");
  char buf[HEADER_MAX];
  size_t got;
  if (readall(fd, buf, sizeof buf, 0, &got) == -1) return -1;
  const std::string_view head(buf, got);
  const std::string_view magic(MAGIC, sizeof MAGIC - 1);
  // An empty file or a cut magic line: a writer that died at the start.
  if (got < magic.size())
    return bad(q, byte_diff(buf, static_cast<uint32_t>(got), MAGIC)
                      ? "not a quarantine file"
                      : "incomplete: the header is cut short");
  if (byte_diff(buf, static_cast<uint32_t>(magic.size()), MAGIC))
    return bad(q, "not a quarantine file");
  const size_t end = head.find("\n\n", magic.size() - 1);
  if (end == std::string_view::npos)
    return bad(q, got < sizeof buf ? "incomplete: the header is cut short"
                                   : "not a quarantine file: no end of header");
  int64_t len[3] = {-1, -1, -1}; // envelope, answer, message
  bool unfinished = false;
  for (size_t at = magic.size(); at <= end;) {
    const size_t nl = head.find('\n', at);
    const std::string_view line(buf + at, nl - at);
    const size_t sp = line.find(' ');
    if (sp == 0 || sp == std::string_view::npos)
      return bad(q, "not a quarantine file: bad header line");
    for (size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (i < sp ? (c < 'a' || c > 'z') && c != '-' : c < 0x20 || c > 0x7e)
        return bad(q, "not a quarantine file: bad header line");
    }
    const std::string_view name(line.data(), sp), value(line.data() + sp + 1, line.size() - sp - 1);
    const int which = name == "envelope" ? 0 : name == "answer" ? 1 : name == "message" ? 2 : -1;
    if (which >= 0) {
      if (len[which] != -1) return bad(q, "not a quarantine file: bad lengths");
      unfinished |= which == 2 && value == std::string_view(UNFINISHED, WIDTH);
      len[which] = unfinished && which == 2 ? 0 : length_of(value);
      if (len[which] == -1) return bad(q, "not a quarantine file: bad lengths");
    }
    at = nl + 1;
  }
  if (len[0] == -1 || len[1] == -1 || len[2] == -1)
    return bad(q, "not a quarantine file: bad lengths");
  if (unfinished) return bad(q, "incomplete: the message length was never written");
  q->envelope_at = end + 2;
  q->envelope_len = static_cast<uint64_t>(len[0]);
  q->answer_at = q->envelope_at + q->envelope_len;
  q->answer_len = static_cast<uint64_t>(len[1]);
  q->message_at = q->answer_at + q->answer_len;
  q->message_len = static_cast<uint64_t>(len[2]);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (q->message_at + q->message_len > size)
    return bad(q, "incomplete: shorter than its header says");
  if (q->message_at + q->message_len < size)
    return bad(q, "not a quarantine file: longer than its header says");
  if (q->envelope_len >= (1u << 30)) return bad(q, "not a quarantine file: bad envelope");
  if (!stralloc_ready(&q->envelope, static_cast<uint32_t>(q->envelope_len))) return -1;
  if (readall(fd, q->envelope.s, q->envelope_len, q->envelope_at, &got) == -1) return -1;
  if (got < q->envelope_len) return bad(q, "incomplete: shorter than its header says");
  q->envelope.len = static_cast<uint32_t>(got);
  if (!envelope_ok(q->envelope.s, got)) return bad(q, "not a quarantine file: bad envelope");
  return 0;
}
