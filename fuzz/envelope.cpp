// The filter's envelope reader on arbitrary input, handed over on
// descriptor 1 through a pipe as qmail hands it. The intake source is
// compiled into this file so that its static reader can be reset between
// inputs, and its _exit calls come back here instead of ending the fuzzer.
#include <fcntl.h>
#include <setjmp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
jmp_buf ended;
int end_status;

[[noreturn]] void end_here(int status) {
  end_status = status;
  longjmp(ended, 1);
}
} // namespace

#define _exit(status) end_here(status)
#include "intake.cpp"
#undef _exit

namespace {
constexpr int RETURNED = -1;

struct envelope {
  int status = RETURNED;
  std::string from;
  std::vector<std::string> to;
};

// The envelope as qmail writes it: items of a letter, an address and a
// NUL, closed by an empty item. An item that reaches 500 bytes before its
// NUL is refused rather than cut.
envelope expected(const uint8_t *d, size_t n) {
  envelope e;
  bool sender = false, recipient = false;
  for (size_t i = 0; i < n;) {
    const void *nul = std::memchr(d + i, 0, n - i);
    const size_t end = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - d) : n;
    if (end - i >= ADDR_SIZE) return e.status = exit_addrtoolong, e;
    if (!nul) break; // an item cut off by the end of input is dropped
    if (end == i) {
      if (recipient) break;
      return e.status = exit_envelope_bad, e;
    }
    const std::string address(reinterpret_cast<const char *>(d + i + 1), end - i - 1);
    if (d[i] == 'F') {
      if (sender) return e.status = exit_envelope_bad, e;
      e.from = address;
      sender = true;
    } else if (d[i] == 'T') {
      if (e.to.size() < MAX_RCPT) e.to.push_back(address);
      recipient = true;
    }
    i = end + 1;
  }
  if (e.from.empty() && (e.to.empty() || e.to[0].empty())) e.status = exit_envelope_read;
  return e;
}

void check(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "envelope: %s\n", what);
  std::abort();
}

bool holds(const char *slot, const std::string &want) {
  const size_t n = strnlen(slot, ADDR_SIZE);
  return n < ADDR_SIZE && std::string(slot, n) == want;
}

// Puts the input behind descriptor 1, ending in end of file.
void hand_over(const uint8_t *d, size_t n) {
  int p[2];
  check(pipe(p) == 0, "pipe");
  for (size_t done = 0; done < n;) {
    const ssize_t w = write(p[1], d + done, n - done);
    check(w > 0, "write to pipe");
    done += static_cast<size_t>(w);
  }
  close(p[1]);
  check(dup2(p[0], 1) == 1, "dup2");
  close(p[0]);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A pipe holds 64 KiB without a reader; envelopes that size say nothing new.
  if (size > 65536) return -1;
  // With descriptor 1 closed, pipe() could hand out 1 itself.
  static const int stdout_copy = [] {
    if (fcntl(1, F_GETFD) == -1) dup2(open("/dev/null", O_WRONLY), 1);
    return dup(1);
  }();

  ssaddrin = SUBSTDIO_FDBUF(saferead, 1, ssoutbuf, sizeof ssoutbuf);
  // Stale bytes must never pass for the end of an address.
  std::memset(addr_buffer, 'x', sizeof addr_buffer);
  std::memset(mail_from, 0, sizeof mail_from);
  std::memset(rcpt_to, 0, sizeof rcpt_to);
  max_rcpt_to = -1;
  end_status = RETURNED;

  hand_over(data, size);
  if (setjmp(ended) == 0) read_address();
  dup2(stdout_copy, 1);

  const envelope e = expected(data, size);
  check(end_status == e.status, "wrong end");
  check(ssout.pos == 0, "status text left on descriptor 1");
  if (e.status != RETURNED) return 0;
  check(max_rcpt_to >= 0 && max_rcpt_to <= MAX_RCPT, "recipient count out of range");
  check(holds(mail_from, e.from), "wrong sender");
  check(static_cast<size_t>(max_rcpt_to) == e.to.size(), "wrong recipient count");
  for (int i = 0; i < max_rcpt_to; ++i) check(holds(rcpt_to[i], e.to[static_cast<size_t>(i)]), "wrong recipient");
  if (max_rcpt_to < MAX_RCPT) check(!rcpt_to[max_rcpt_to][0], "recipient behind the last");
  return 0;
}
