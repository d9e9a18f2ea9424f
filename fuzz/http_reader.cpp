// The HTTP response reader on arbitrary responses, read twice: in one
// piece, and in pieces whose sizes come from the input, as a socket may
// deliver them. Both readings must agree, and neither may let the body
// pass its limit.
//
// Input: two bytes of body limit (little-endian; 0xffff stands for no
// practical limit), one byte that seeds the piece sizes, then the response.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "alloc.h"
#include "http_reader.h"

namespace {
void check(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "http_reader: %s\n", what);
  std::abort();
}

void release(http_reader *r) {
  if (r->line.s) alloc_free(r->line.s);
  if (r->body.s) alloc_free(r->body.s);
}

bool same_body(const http_reader &a, const http_reader &b) {
  return a.body.len == b.body.len && (!a.body.len || !std::memcmp(a.body.s, b.body.s, a.body.len));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return -1;
  const uint32_t raw_limit = data[0] | data[1] << 8;
  const uint32_t limit = raw_limit == 0xffff ? UINT32_MAX : raw_limit;
  const unsigned seed = data[2];
  const char *response = reinterpret_cast<const char *>(data + 3);
  const size_t len = size - 3;

  http_reader whole;
  http_reader_init(&whole, limit);
  int whole_state = http_reader_feed(&whole, response, len);
  if (!whole_state) whole_state = http_reader_eof(&whole);

  // Seed 0 feeds one byte at a time; others mix sizes up to seed % 64 + 1,
  // empty pieces included.
  std::minstd_rand pick(seed + 1);
  const unsigned widest = seed % 64 + 1;
  http_reader split;
  http_reader_init(&split, limit);
  int state = 0;
  for (size_t at = 0; at < len;) {
    const size_t piece = seed ? std::min<size_t>(pick() % (widest + 1), len - at) : 1;
    const int now = http_reader_feed(&split, response + at, piece);
    // A finished or failed reading stays so, whatever follows.
    check(!state || now == state, "state changed after the end");
    state = now;
    at += piece;
    check(split.body.len <= limit, "body over its limit");
  }
  if (!state) state = http_reader_eof(&split);

  check(whole_state == 1 || whole_state == -1, "no outcome after the end of input");
  check(state == whole_state, "pieces and one piece end differently");
  check(whole.body.len <= limit, "body over its limit");
  if (whole_state == 1) {
    // A refused response may leave any part of its body behind.
    check(same_body(whole, split), "pieces and one piece give different bodies");
    check(split.status == whole.status, "pieces and one piece give different statuses");
    check(whole.status >= 0 && whole.status <= 999, "status out of range");
    check(whole.status < 100 || whole.status >= 200, "interim status taken as final");
  }
  release(&whole);
  release(&split);
  return 0;
}
