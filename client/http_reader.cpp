#include "http_reader.h"

#include "byte.h"
#include "case.h"

namespace {
enum : int {
  STATUS_LINE,
  FIELD_LINE,
  BODY_LENGTH,
  BODY_TO_CLOSE,
  CHUNK_SIZE,
  CHUNK_DATA,
  CHUNK_DATA_END,
  TRAILER,
  DONE,
  BROKEN,
};

constexpr uint32_t LINE_MAX = 8192;
constexpr uint32_t HEAD_MAX = 65536;


bool equal_nocase(const char *a, uint32_t n, const char *b) {
  uint32_t i = 0;
  for (; i < n && b[i]; ++i)
    if (case_lower(a[i]) != b[i]) return false;
  return i == n && !b[i];
}

bool is_ows(char c) { return c == ' ' || c == '\t'; }

void trim(const char *&s, uint32_t &n) {
  while (n && is_ows(*s)) ++s, --n;
  while (n && is_ows(s[n - 1])) --n;
}

// "HTTP/1.x nnn[ reason]"
int parse_status(const char *s, uint32_t n) {
  if (n < 12 || byte_diff(s, 7, "HTTP/1.") || s[7] < '0' || s[7] > '9' || s[8] != ' ') return -1;
  int code = 0;
  for (int i = 9; i < 12; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    code = code * 10 + (s[i] - '0');
  }
  if (n > 12 && s[12] != ' ') return -1;
  return code;
}

int parse_decimal(const char *s, uint32_t n, uint64_t *v) {
  if (!n) return -1;
  uint64_t x = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    if (x > (UINT64_MAX - 9) / 10) return -1;
    x = x * 10 + static_cast<uint64_t>(s[i] - '0');
  }
  *v = x;
  return 0;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = case_lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "size[;extensions]"
int parse_chunk_size(const char *s, uint32_t n, uint64_t *v) {
  uint32_t i = 0;
  uint64_t x = 0;
  for (; i < n && hexval(s[i]) >= 0; ++i) {
    if (x >> 60) return -1;
    x = (x << 4) | static_cast<uint64_t>(hexval(s[i]));
  }
  if (i == 0) return -1;
  while (i < n && is_ows(s[i])) ++i;
  if (i < n && s[i] != ';') return -1;
  *v = x;
  return 0;
}

// Does the last transfer coding of the list say chunked?
bool ends_chunked(const char *s, uint32_t n) {
  const uint32_t comma = byte_rchr(s, n, ',');
  if (comma < n) {
    s += comma + 1;
    n -= comma + 1;
  }
  trim(s, n);
  return equal_nocase(s, n, "chunked");
}

int field(http_reader *r, const char *s, uint32_t n) {
  const uint32_t colon = byte_chr(s, n, ':');
  if (colon == n || colon == 0) return -1;
  for (uint32_t i = 0; i < colon; ++i)
    if (is_ows(s[i])) return -1; // no white space in or before a field name
  const char *v = s + colon + 1;
  uint32_t vn = n - colon - 1;
  trim(v, vn);
  if (equal_nocase(s, colon, "content-length")) {
    uint64_t len;
    if (parse_decimal(v, vn, &len) == -1) return -1;
    if (r->has_length && len != r->remaining) return -1;
    r->has_length = true;
    r->remaining = len;
  } else if (equal_nocase(s, colon, "transfer-encoding")) {
    // Another final coding: the body runs to the end of the connection.
    r->chunked = ends_chunked(v, vn);
    r->coded = true;
  }
  return 0;
}

int end_of_head(http_reader *r) {
  if (r->status >= 100 && r->status < 200) {
    // An interim response: the real one follows.
    r->chunked = r->coded = r->has_length = false;
    r->remaining = 0;
    return STATUS_LINE;
  }
  if (r->chunked) return CHUNK_SIZE;
  if (r->has_length && !r->coded) {
    if (r->remaining > r->body_limit) return r->too_large = true, BROKEN;
    return r->remaining ? BODY_LENGTH : DONE;
  }
  return BODY_TO_CLOSE;
}

// One complete line, without its line end.
int line(http_reader *r, const char *s, uint32_t n) {
  switch (r->state) {
  case STATUS_LINE:
    r->status = parse_status(s, n);
    return r->status < 0 ? BROKEN : FIELD_LINE;
  case FIELD_LINE:
    if (!n) return end_of_head(r);
    return field(r, s, n) == -1 ? BROKEN : FIELD_LINE;
  case CHUNK_SIZE:
    if (parse_chunk_size(s, n, &r->remaining) == -1) return BROKEN;
    return r->remaining ? CHUNK_DATA : TRAILER;
  case CHUNK_DATA_END:
    return n ? BROKEN : CHUNK_SIZE;
  case TRAILER:
    return n ? TRAILER : DONE;
  }
  return BROKEN;
}

bool line_state(int state) {
  return state == STATUS_LINE || state == FIELD_LINE || state == CHUNK_SIZE ||
         state == CHUNK_DATA_END || state == TRAILER;
}

// Lines that carry no body bytes count against the head's limit.
bool in_head(int state) { return state == STATUS_LINE || state == FIELD_LINE || state == TRAILER; }

int take_body(http_reader *r, const char *buf, uint32_t n) {
  if (n > r->body_limit - r->body.len) return r->too_large = true, -1;
  return stralloc_catb(&r->body, buf, n) ? 0 : -1;
}
} // namespace

void http_reader_init(http_reader *r, uint32_t body_limit) {
  *r = http_reader{};
  r->state = STATUS_LINE;
  r->body_limit = body_limit;
}

int http_reader_feed(http_reader *r, const char *buf, size_t len) {
  while (len > 0 && r->state != DONE && r->state != BROKEN) {
    if (line_state(r->state)) {
      const uint32_t chunk = len > LINE_MAX ? LINE_MAX : static_cast<uint32_t>(len);
      const uint32_t nl = byte_chr(buf, chunk, '\n');
      const uint32_t take = nl < chunk ? nl + 1 : chunk;
      if (r->line.len + take > LINE_MAX) return r->state = BROKEN, -1;
      if (in_head(r->state) && (r->head_bytes += take) > HEAD_MAX) return r->state = BROKEN, -1;
      if (!stralloc_catb(&r->line, buf, take)) return r->state = BROKEN, -1;
      buf += take;
      len -= take;
      if (nl == chunk) continue;
      uint32_t n = r->line.len - 1; // without the line feed
      if (n && r->line.s[n - 1] == '\r') --n;
      r->state = line(r, r->line.s, n);
      r->line.len = 0;
      continue;
    }
    uint32_t n = len > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(len);
    if (r->state != BODY_TO_CLOSE && n > r->remaining) n = static_cast<uint32_t>(r->remaining);
    if (take_body(r, buf, n) == -1) return r->state = BROKEN, -1;
    buf += n;
    len -= n;
    if (r->state == BODY_LENGTH) {
      r->remaining -= n;
      if (!r->remaining) r->state = DONE;
    } else if (r->state == CHUNK_DATA) {
      r->remaining -= n;
      if (!r->remaining) r->state = CHUNK_DATA_END;
    }
  }
  if (r->state == BROKEN) return -1;
  return r->state == DONE ? 1 : 0;
}

int http_reader_eof(http_reader *r) {
  if (r->state == BODY_TO_CLOSE || r->state == DONE) {
    r->state = DONE;
    return 1;
  }
  r->state = BROKEN;
  return -1;
}
