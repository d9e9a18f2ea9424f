// The filter's envelope reader on arbitrary input, fed through a stream
// whose operation hands out the input in pieces of varying size, as a pipe
// would. Its result is checked against the rules read item by item.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exitcode.h"
#include "intake.h"

namespace {
constexpr int RETURNED = 0;

struct model {
  int status = RETURNED;
  std::string from;  // the sender's address
  std::vector<std::string> to; // the recipients' addresses, in order
  std::string items; // as the queue program gets it, less the closing item
};

// The envelope as qmail writes it: items of a letter, an address and a
// NUL, closed by an empty item. Every whole item before the closing one
// is passed on, whatever its letter and length; without the closing item
// nothing is.
model expected(const uint8_t *d, size_t n) {
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
  model e;
  int senders = 0;
  bool rcpt = false, rcpt_nonempty = false;
  for (const auto &item : items) {
    if (item[0] == 'F' && ++senders == 2) return e.status = exit_envelope_bad, e;
    if (item[0] == 'F') e.from = item.substr(1);
    if (item[0] == 'T') rcpt = true, rcpt_nonempty |= item.size() > 1, e.to.push_back(item.substr(1));
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

// The input, handed out a few bytes at a time.
const uint8_t *input;
size_t input_left;

ssize_t from_input(int, char *buf, size_t len) {
  size_t n = len < input_left ? len : input_left;
  if (n > 1) n = 1 + (input[0] % n); // pieces of 1 to len bytes
  std::memcpy(buf, input, n);
  input += n;
  input_left -= n;
  return static_cast<ssize_t>(n);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  input = data;
  input_left = size;
  char buf[512];
  substdio in = SUBSTDIO_FDBUF(from_input, 0, buf, sizeof buf);
  static envelope got;
  // Stale bytes must never pass for the envelope.
  if (got.items.s) std::memset(got.items.s, 'x', got.items.a);
  got.items.len = 12345;
  failure f = {};
  const int status = read_envelope(&in, &got, &f);

  const model e = expected(data, size);
  check(status == e.status, "wrong end");
  if (e.status != RETURNED) return 0;
  check(got.sender == e.from, "wrong sender");
  check(std::vector<std::string>(got.recipients, got.recipients + got.recipient_count) == e.to,
        "wrong recipients");
  check(stralloc_view(&got.items) == e.items, "wrong envelope");
  return 0;
}
