// One line of control/zelmd_policy into one entry as compiled.
#include <cdb.h>

#include <cstdint>
#include <cstdio>

#include "byte.h"
#include "case.h"
#include "fmt.h"
#include "policy_file.h"
#include "safe.h"

// Compiled, all of them take 10 * 5 + 2 + POLICY_TEXT_MAX bytes.
const policy_setting policy_settings[POLICY_SETTINGS] = {
    {"check", policy_kind::number, &rule_set::check, nullptr},
    {"require_scan", policy_kind::number, &rule_set::require_scan, nullptr},
    {"block_spam", policy_kind::toggle, &rule_set::block_spam, nullptr},
    {"block_bulk", policy_kind::toggle, &rule_set::block_bulk, nullptr},
    {"block_virus", policy_kind::toggle, &rule_set::block_virus, nullptr},
    {"block_vhigh", policy_kind::toggle, &rule_set::block_vhigh, nullptr},
    {"custom_reply", policy_kind::toggle, &rule_set::custom_reply, nullptr},
    {"tag_only", policy_kind::toggle, &rule_set::tag_only, nullptr},
    {"quarantine", policy_kind::toggle, &rule_set::quarantine, nullptr},
    {"max_size", policy_kind::number, &rule_set::max_size, nullptr},
    {"subject_tag", policy_kind::text, nullptr, &rule_set::subject_tag},
};

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

// Null when k (after any "from:") is an address, a domain or a domain with
// a leading dot that some lookup can ask for; else why not.
const char *key_fault(std::string_view k) {
  if (k.empty()) return "empty key";
  if (k.size() > POLICY_KEY_MAX) return "key longer than 255 bytes";
  for (const char c : k) {
    if (blank(c)) return "blank in the key";
    if (c < 0x21 || c > 0x7e) return "control byte or byte above 126 in the key";
  }
  std::string_view domain = k;
  if (const size_t at = k.find('@'); at != std::string_view::npos) {
    if (k.find('@', at + 1) != std::string_view::npos) return "more than one @ in the key";
    if (at == 0) return "nothing before the @ of the key";
    domain.remove_prefix(at + 1);
    if (domain.empty()) return "nothing after the @ of the key";
  } else if (domain[0] == '.') {
    domain.remove_prefix(1);
    if (domain.empty()) return "nothing after the leading dot of the key";
  }
  if (domain[0] == '.' || domain.back() == '.' || domain.find("..") != std::string_view::npos)
    return "empty label in the domain of the key";
  return nullptr;
}

// A value as written: the bytes of a quoted one unescaped, as many as fit;
// len counts them all.
struct value_text {
  char buf[POLICY_TEXT_MAX + 1];
  size_t len;
};

// Reads the value at *at, quoted or not, and moves *at past it; null, or
// why it is bad.
const char *read_value(std::string_view line, size_t *at, value_text *v) {
  size_t i = *at;
  v->len = 0;
  const auto put = [v](char c) {
    if (v->len < sizeof v->buf) v->buf[v->len] = c;
    ++v->len;
  };
  if (i < line.size() && line[i] == '"') {
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\') {
        if (++i == line.size()) break;
        if (line[i] != '"' && line[i] != '\\') return "\\ before a byte other than \" or \\";
      }
      put(line[i]);
    }
    if (i == line.size()) return "no closing quote";
    ++i;
  } else {
    for (; i < line.size() && !blank(line[i]) && line[i] != ','; ++i) {
      if (line[i] == '#')
        return "# inside an unquoted value: quote the value, or put a blank before the comment";
      if (line[i] == '"') return "quote inside an unquoted value";
      put(line[i]);
    }
    if (v->len == 0) return "no value (an empty text is written \"\")";
  }
  *at = i;
  return nullptr;
}

// The value as a number from 0 to 2147483647, or -1.
long number_of(const value_text &v) {
  if (v.len == 0 || v.len > sizeof v.buf) return -1;
  long n = 0;
  for (size_t j = 0; j < v.len; ++j) {
    if (v.buf[j] < '0' || v.buf[j] > '9') return -1;
    n = n * 10 + (v.buf[j] - '0');
    if (n > INT32_MAX) return -1;
  }
  return n;
}

} // namespace

int policy_parse_line(std::string_view line, policy_entry *e, char *why, size_t size) {
  size_t i = 0;
  const auto skip_blanks = [&] {
    while (i < line.size() && blank(line[i])) ++i;
  };
  skip_blanks();
  if (i == line.size() || line[i] == '#') return 0;
  if (line.back() == '\r')
    return fmt_why(why, size, "carriage return at the end of the line: write the file without CR");
  *e = {};
  if (line.size() - i >= POLICY_SENDER_LEN) {
    e->outbound = true;
    for (size_t j = 0; j < POLICY_SENDER_LEN; ++j)
      e->outbound = e->outbound && case_lower(line[i + j]) == POLICY_SENDER[j];
  }
  if (e->outbound) {
    byte_copy(e->key, POLICY_SENDER_LEN, POLICY_SENDER);
    e->key_len = POLICY_SENDER_LEN;
    i += POLICY_SENDER_LEN;
  }
  const size_t colon = line.find(':', i);
  if (colon == std::string_view::npos) return fmt_why(why, size, "no colon after the key");
  const std::string_view key(line.data() + i, colon - i);
  if (const char *fault = key_fault(key)) return fmt_why(why, size, "%s", fault);
  for (const char c : key) e->key[e->key_len++] = case_lower(c);
  i = colon + 1;

  bool have[POLICY_SETTINGS] = {};
  long number[POLICY_SETTINGS] = {};
  value_text text = {};
  for (bool after_comma = false;;) {
    skip_blanks();
    if (i == line.size() || line[i] == '#') {
      if (after_comma) return fmt_why(why, size, "empty setting after the last comma");
      break;
    }
    const size_t name_at = i;
    while (i < line.size() && !blank(line[i]) && line[i] != '=' && line[i] != ',' &&
           line[i] != '#' && line[i] != '"')
      ++i;
    const std::string_view name(line.data() + name_at, i - name_at);
    if (name.empty())
      return fmt_why(why, size, line[i] == ',' ? "empty setting" : "setting without a name");
    size_t k = 0;
    while (k < POLICY_SETTINGS && name != policy_settings[k].name) ++k;
    if (k == POLICY_SETTINGS) {
      char shown[33];
      safe_copy(shown, sizeof shown, name, false);
      return fmt_why(why, size, "unknown setting \"%s\"", shown);
    }
    const policy_setting &s = policy_settings[k];
    if (have[k]) return fmt_why(why, size, "%s given twice", s.name);
    skip_blanks();
    if (i == line.size() || line[i] != '=') return fmt_why(why, size, "%s without =VALUE", s.name);
    ++i;
    skip_blanks();
    value_text v;
    if (const char *fault = read_value(line, &i, &v))
      return fmt_why(why, size, "%s: %s", s.name, fault);
    const long n = number_of(v);
    if (s.kind == policy_kind::text) {
      if (v.len > POLICY_TEXT_MAX)
        return fmt_why(why, size, "%s: longer than %zu bytes", s.name, POLICY_TEXT_MAX);
      for (size_t j = 0; j < v.len; ++j)
        if (v.buf[j] < 0x20 || v.buf[j] > 0x7e)
          return fmt_why(why, size, "%s: control byte or byte above 126", s.name);
      text = v;
    } else if (s.kind == policy_kind::number && n < 0) {
      return fmt_why(why, size, "%s: not a number from 0 to 2147483647", s.name);
    } else if (s.kind == policy_kind::toggle && n != 0 && n != 1) {
      return n > 1 ? fmt_why(why, size, "%s=%ld would not act: only 1 does; write 0 or 1", s.name, n)
                   : fmt_why(why, size, "%s: not 0 or 1", s.name);
    }
    have[k] = true;
    number[k] = n;
    if (s.number == &rule_set::check && n != 0) e->classifies = true;
    skip_blanks();
    after_comma = i < line.size() && line[i] == ',';
    if (after_comma)
      ++i;
    else if (i < line.size() && line[i] != '#')
      return fmt_why(why, size, "%s: text after the value", s.name);
  }

  for (size_t k = 0; k < POLICY_SETTINGS; ++k) {
    if (!have[k]) continue;
    e->value[e->value_len++] = static_cast<char>(k);
    if (policy_settings[k].kind == policy_kind::text) {
      e->value[e->value_len++] = static_cast<char>(text.len);
      byte_copy(e->value + e->value_len, static_cast<uint32_t>(text.len), text.buf);
      e->value_len += text.len;
    } else {
      cdb_pack(static_cast<unsigned>(number[k]),
               reinterpret_cast<unsigned char *>(e->value + e->value_len));
      e->value_len += 4;
    }
  }
  return 1;
}
