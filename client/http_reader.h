#ifndef HTTP_READER_H
#define HTTP_READER_H

#include <cstddef>
#include <cstdint>

#include "stralloc.h"

// Reads one HTTP/1.1 response as it arrives, in pieces of any size:
// status line, header fields, then the body framed by chunked coding, by
// Content-Length, or by the end of the connection. Interim 1xx responses
// are skipped. Whatever a peer sends, nothing is read or written beyond
// the buffers, and the body never exceeds its limit.
struct http_reader {
  int state;
  int status;
  bool chunked;
  bool coded; // a Transfer-Encoding came: Content-Length does not count
  bool has_length;
  bool too_large; // the body would pass its limit
  uint64_t remaining; // body or chunk bytes still expected
  uint32_t head_bytes; // bytes of status line and fields so far
  uint32_t body_limit;
  stralloc line;
  stralloc body;
};

void http_reader_init(http_reader *r, uint32_t body_limit);
// 0: more input wanted; 1: the response is complete; -1: malformed or over a limit.
int http_reader_feed(http_reader *r, const char *buf, size_t len);
// The peer closed the connection: 1 when that completes the response, else -1.
int http_reader_eof(http_reader *r);

#endif
