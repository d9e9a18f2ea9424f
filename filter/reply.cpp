#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "reply.h"

const refusal refusal_unavailable = {
    71, "message not accepted now: classification unavailable, try again later", "4.3.0"};

namespace {
// qmail-smtpd's own answers for the filter's refusals.
constexpr char generic_permanent[] = "554 mail server permanently rejected message (#5.3.0)";
constexpr char generic_temporary[] = "451 mail server temporarily rejected message (#4.3.0)";

// Only printable ASCII reaches the client: the reference is the daemon's.
size_t put(char *to, size_t room, std::string_view s) {
  size_t n = 0;
  for (; n < s.size() && n < room; ++n) to[n] = s[n] >= 0x20 && s[n] < 0x7f ? s[n] : '?';
  return n;
}
} // namespace

size_t custom_reply(char *buf, const refusal &why, std::string_view refid) {
  constexpr size_t max = 255;
  char tail[16];
  const size_t tail_len =
      static_cast<size_t>(std::snprintf(tail, sizeof tail, " (#%s)", why.status));
  size_t n = 0;
  buf[n++] = why.code == 31 ? 'D' : 'Z';
  n += put(buf + n, max - tail_len - n, why.words);
  if (!refid.empty()) {
    n += put(buf + n, max - tail_len - n, ", reference ");
    n += put(buf + n, max - tail_len - n, refid);
  }
  n += put(buf + n, max - n, tail);
  buf[n] = 0;
  return n;
}

void smtp_reply(char *buf, size_t size, bool custom, const refusal &why,
                std::string_view refid) {
  if (!custom) {
    std::snprintf(buf, size, "%s", why.code == 31 ? generic_permanent : generic_temporary);
    return;
  }
  char text[256];
  custom_reply(text, why, refid);
  std::snprintf(buf, size, "%s %s", text[0] == 'D' ? "554" : "451", text + 1);
}

bool tell_client(const char *text, size_t len) {
  struct stat st;
  if (fstat(6, &st) == -1 || !S_ISFIFO(st.st_mode)) return false;
  const int flags = fcntl(6, F_GETFL);
  // Never waited for: a reader that does not take it gets the plain code.
  if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY ||
      fcntl(6, F_SETFL, flags | O_NONBLOCK) == -1)
    return false;
  return write(6, text, len) == static_cast<ssize_t>(len);
}
