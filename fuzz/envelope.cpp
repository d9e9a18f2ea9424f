// The filter's envelope reader on arbitrary input, handed over on
// descriptor 1 through a pipe as qmail hands it. The intake source is
// compiled into this file so that its static reader can be reset between
// inputs, and its ends (die, _exit) come back here instead of ending the
// fuzzer.
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

void die(int code, const char *, ...) { end_here(code); }
void log_note(const char *, ...) {}
stralloc zelmd_spool_dir;

namespace {
constexpr int RETURNED = -1;

struct envelope {
  int status = RETURNED;
  std::string from;  // as the daemon and the log see it
  std::string items; // as the queue program gets it, less the closing item
};

// The envelope as qmail writes it: items of a letter, an address and a
// NUL, closed by an empty item. Every whole item before the closing one
// is passed on, whatever its letter and length; without the closing item
// nothing is.
envelope expected(const uint8_t *d, size_t n) {
  std::vector<std::string> items; // whole ones, without their NUL
  bool closed = false;
  for (size_t i = 0; i < n;) {
    const void *nul = std::memchr(d + i, 0, n - i);
    if (!nul) break; // an item cut off by the end of input is dropped
    const size_t end = static_cast<size_t>(static_cast<const uint8_t *>(nul) - d);
    if (end == i) {
      closed = true;
      break;
    }
    items.emplace_back(reinterpret_cast<const char *>(d + i), end - i);
    i = end + 1;
  }
  envelope e;
  int senders = 0;
  bool rcpt = false, rcpt_nonempty = false;
  for (const auto &item : items) {
    if (item[0] == 'F' && ++senders == 2) return e.status = exit_envelope_bad, e;
    if (item[0] == 'F') e.from = item.substr(1, ADDR_SIZE - 1);
    if (item[0] == 'T') rcpt = true, rcpt_nonempty |= item.size() > 1;
    e.items += item;
    e.items += '\0';
  }
  if (!closed) return e.status = exit_envelope_read, e;
  if (!rcpt) return e.status = exit_envelope_bad, e;
  if (e.from.empty() && !rcpt_nonempty) e.status = exit_envelope_read;
  return e;
}

void check(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "envelope: %s\n", what);
  std::abort();
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

  ssaddrin = SUBSTDIO_FDBUF(saferead, 1, ssaddrbuf, sizeof ssaddrbuf);
  std::memset(mail_from, 0, sizeof mail_from);
  // Stale bytes must never pass for the envelope.
  if (envelope_items.s) std::memset(envelope_items.s, 'x', envelope_items.a);
  envelope_items.len = 12345;
  end_status = RETURNED;

  hand_over(data, size);
  if (setjmp(ended) == 0) read_address();
  dup2(stdout_copy, 1);

  const envelope e = expected(data, size);
  check(end_status == e.status, "wrong end");
  if (e.status != RETURNED) return 0;
  check(strnlen(mail_from, ADDR_SIZE) < ADDR_SIZE && mail_from == e.from, "wrong sender");
  check(stralloc_view(&envelope_items) == e.items, "wrong envelope");
  return 0;
}
