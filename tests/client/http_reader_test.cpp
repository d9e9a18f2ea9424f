#include <gtest/gtest.h>

#include <string>

#include "http_reader.h"

namespace {

using namespace std::string_literals;

struct outcome {
  int state; // 1 complete, -1 refused, 0 still waiting (before eof)
  std::string body;
};

// Feeds the response in pieces of `step` bytes, then the connection's end.
outcome read_response(const std::string &response, size_t step, bool close = true,
                      uint32_t limit = 1 << 20) {
  http_reader r;
  http_reader_init(&r, limit);
  int state = 0;
  for (size_t i = 0; i < response.size() && state == 0; i += step)
    state = http_reader_feed(&r, response.data() + i, std::min(step, response.size() - i));
  if (state == 0 && close) state = http_reader_eof(&r);
  return {state, std::string(r.body.s ? r.body.s : "", r.body.len)};
}

TEST(HttpReader, Framings) {
  const struct { const char *what; std::string response; int state; std::string body; } cases[] = {
      {"content-length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 1, "hello"},
      {"bytes after the body are ignored", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello", 1, "he"},
      {"to the close", "HTTP/1.0 200 OK\r\n\r\nall of it\r\n", 1, "all of it\r\n"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;x=y\r\n world\r\n0\r\nT: v\r\n\r\n",
       1, "hello world"},
      {"chunked wins over length", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
       1, "x"},
      {"other coding runs to close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 1\r\n\r\nabc", 1, "abc"},
      {"bare line feeds", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", 1, "abc"},
      {"any status", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\nbody", 1, "body"},
      {"interim response skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 1, "ok"},
      {"NUL bytes in the body", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\na\0b"s, 1, "a\0b"s},
      {"empty body", "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", 1, ""},
      {"no status line", "hello\r\n\r\n", -1, ""},
      {"bad version", "HTTP/2.0 200 OK\r\n\r\n", -1, ""},
      {"short status", "HTTP/1.1 20\r\n\r\n", -1, ""},
      {"field without colon", "HTTP/1.1 200 OK\r\nbroken\r\n\r\n", -1, ""},
      {"space before colon", "HTTP/1.1 200 OK\r\nContent-Length : 1\r\n\r\nx", -1, ""},
      {"bad length", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\nx", -1, ""},
      {"conflicting lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxx", -1, ""},
      {"huge length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", -1, ""},
      {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", -1, ""},
      {"chunk size overflow", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffff\r\n", -1, ""},
      {"chunk without its line end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nxy\r\n", -1, ""},
      {"cut short by the close", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", -1, "abc"},
      {"head cut short", "HTTP/1.1 200 OK\r\nContent-", -1, ""},
      {"nothing at all", "", -1, ""},
  };
  for (const auto &c : cases) {
    for (const size_t step : {size_t{1}, size_t{3}, size_t{4096}}) {
      const outcome o = read_response(c.response, step);
      EXPECT_EQ(o.state, c.state) << c.what << ", pieces of " << step;
      if (c.state == 1) {
        EXPECT_EQ(o.body, c.body) << c.what << ", pieces of " << step;
      }
    }
  }
}

TEST(HttpReader, LimitsHold) {
  const std::string mib(1 << 20, 'a');
  const auto with_length = [](const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  EXPECT_EQ(read_response(with_length(mib), 65536).state, 1);
  EXPECT_EQ(read_response(with_length(mib + "b"), 65536).state, -1);
  EXPECT_EQ(read_response("HTTP/1.1 200 OK\r\n\r\n" + mib + "b", 65536).state, -1);
  EXPECT_EQ(read_response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n" + mib + "b\r\n0\r\n\r\n", 65536).state, -1);
  // Endless header fields, one overlong line, endless interim responses.
  std::string fields = "HTTP/1.1 200 OK\r\n";
  while (fields.size() < 70000) fields += "X-Pad: 0123456789012345678901234567890123456789\r\n";
  EXPECT_EQ(read_response(fields, 4096, false).state, -1);
  EXPECT_EQ(read_response("HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'l') + "\r\n\r\n", 4096, false).state, -1);
  std::string interim;
  while (interim.size() < 70000) interim += "HTTP/1.1 100 Continue\r\n\r\n";
  EXPECT_EQ(read_response(interim, 4096, false).state, -1);
}

TEST(HttpReader, WaitsForMore) {
  http_reader r;
  http_reader_init(&r, 100);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab";
  EXPECT_EQ(http_reader_feed(&r, head.data(), head.size()), 0);
  EXPECT_EQ(http_reader_feed(&r, "cd", 2), 1);
  EXPECT_EQ(std::string(r.body.s, r.body.len), "abcd");
}

} // namespace
