// control/zelmd_policy.cdb: opened once, asked once per address.
#include <cerrno>
#include <cstdint>

#include "alloc.h"
#include "byte.h"
#include "case.h"
#include "fd.h"
#include "open.h"
#include "policy_file.h"

int policy_decode(std::string_view value, rule_set *r) {
  // Whatever a damaged file holds must not reach a header: each value is
  // held to what the compiler writes.
  rule_set d = *r;
  d.from_entry = 0;
  size_t i = 0;
  for (int last = -1; i < value.size();) {
    const int k = static_cast<unsigned char>(value[i++]);
    if (k >= static_cast<int>(POLICY_SETTINGS) || k <= last) return -1;
    last = k;
    const policy_setting &s = policy_settings[k];
    d.from_entry |= 1u << k;
    if (s.kind == policy_kind::text) {
      if (i == value.size()) return -1;
      const size_t n = static_cast<unsigned char>(value[i++]);
      if (n > POLICY_TEXT_MAX || value.size() - i < n) return -1;
      const std::string_view text(value.data() + i, n);
      for (const char c : text)
        if (c < 0x20 || c > 0x7e) return -1;
      d.*s.text = text;
      i += n;
    } else {
      if (value.size() - i < 4) return -1;
      const unsigned n = cdb_unpack(reinterpret_cast<const unsigned char *>(value.data() + i));
      if (n > INT32_MAX || (s.kind == policy_kind::toggle && n > 1)) return -1;
      d.*s.number = static_cast<int>(n);
      i += 4;
    }
  }
  *r = d;
  return 0;
}

int policy_open(policy_db *db, const char *path) {
  *db = {};
  fd_owner fd(open_read(path));
  if (!fd.ok()) return errno == ENOENT ? 0 : -1;
  char meta[6];
  unsigned len = 0;
  const int found = cdb_seek(fd.get(), POLICY_META, sizeof POLICY_META - 1, &len);
  if (found < 0 && errno != EIO && errno != EPROTO) return -1;
  bool ok = found > 0 && len == sizeof meta && cdb_bread(fd.get(), meta, len) == 0;
  for (size_t i = 0; ok && i < sizeof meta; ++i) ok = meta[i] == '0' || meta[i] == '1';
  if (!ok) {
    errno = EPROTO;
    return -1;
  }
  for (int d = 0; d < 2; ++d) {
    db->classify[d] = meta[d] == '1';
    db->addresses[d] = meta[2 + d] == '1';
    db->parents[d] = meta[4 + d] == '1';
  }
  db->fd = fd.release();
  return 0;
}

void policy_close(policy_db *db) {
  if (db->fd >= 0) close(db->fd);
  *db = {};
}

bool policy_can_classify(const policy_db &db, bool outbound) { return db.classify[outbound]; }

int policy_find(const policy_db &db, std::string_view address, bool outbound, rule_set *r) {
  if (db.fd < 0 || address.empty()) return 0;
  // Every candidate is a suffix of the address, each shorter than the
  // last: the address's tail goes lowercased to the end of buf, and
  // "from:" before a candidate overwrites only what longer ones used.
  char buf[POLICY_SENDER_LEN + POLICY_KEY_MAX];
  char *const end = buf + sizeof buf;
  const size_t kept = address.size() < POLICY_KEY_MAX ? address.size() : POLICY_KEY_MAX;
  const char *tail = address.data() + address.size() - kept;
  char *const lowered = end - kept;
  for (size_t j = 0; j < kept; ++j)
    lowered[j] = case_lower(tail[j]);
  const auto ask = [&](size_t len) -> int {
    if (len > POLICY_KEY_MAX) return 0;
    char *key = end - len;
    if (outbound) {
      key -= POLICY_SENDER_LEN;
      byte_copy(key, POLICY_SENDER_LEN, POLICY_SENDER);
    }
    const unsigned klen = static_cast<unsigned>(end - key);
    unsigned dlen = 0;
    const int found = cdb_seek(db.fd, key, klen, &dlen);
    if (found <= 0) return found < 0 ? -1 : 0;
    // The entry's key and value, kept: the texts of r point into them.
    char *entry = dlen > POLICY_VALUE_MAX ? nullptr : static_cast<char *>(alloc(klen + dlen));
    if (!entry) return -1;
    byte_copy(entry, klen, key);
    if (cdb_bread(db.fd, entry + klen, dlen) != 0 ||
        policy_decode({entry + klen, dlen}, r) == -1) {
      alloc_free(entry);
      return -1;
    }
    r->entry = {entry, klen};
    return 1;
  };
  // Only the forms some key has are asked for: a miss costs a page of
  // the file.
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos) return ask(address.size());
  int found = db.addresses[outbound] ? ask(address.size()) : 0;
  if (found || (found = ask(address.size() - at - 1)) || !db.parents[outbound]) return found;
  for (size_t dot = address.find('.', at + 2); dot != std::string_view::npos;
       dot = address.find('.', dot + 1))
    if ((found = ask(address.size() - dot))) return found;
  return 0;
}
