// The text of control/zelmd_policy into the records of its cdb.
#include <cdb.h>

#include <cstdio>
#include <string>
#include <unordered_map>

#include "policy_compile.h"
#include "policy_file.h"

int policy_compile(std::string_view text, int fd, policy_compiled *c) {
  *c = {};
  struct cdb_make mk;
  if (cdb_make_start(&mk, fd) < 0) return -1;
  std::unordered_map<std::string, unsigned long> first_line;
  bool classify[2] = {}, addresses[2] = {}, parents[2] = {};
  policy_entry e;
  char why[320];
  for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
    nl = text.find('\n', at);
    if (nl == std::string_view::npos) nl = text.size();
    ++c->line;
    const int r = policy_parse_line(text.substr(at, nl - at), &e, why, sizeof why);
    if (r == 0) continue;
    if (r == 1) {
      const auto [seen, added] = first_line.try_emplace(std::string(e.key, e.key_len), c->line);
      if (added) {
        classify[e.outbound] = classify[e.outbound] || e.classifies;
        const std::string_view key(e.key + (e.outbound ? POLICY_SENDER_LEN : 0),
                                   e.key_len - (e.outbound ? POLICY_SENDER_LEN : 0));
        addresses[e.outbound] = addresses[e.outbound] || key.find('@') != key.npos;
        parents[e.outbound] = parents[e.outbound] || key[0] == '.';
        if (cdb_make_add(&mk, e.key, static_cast<unsigned>(e.key_len), e.value,
                         static_cast<unsigned>(e.value_len)) < 0) {
          c->line = 0;
          return -1;
        }
        continue;
      }
      std::snprintf(why, sizeof why, "key %s given twice, first on line %lu", seen->first.c_str(),
                    seen->second);
    }
    std::snprintf(c->why, sizeof c->why, "line %lu: %s", c->line, why);
    // Finishing frees what the records took; the file is thrown away.
    cdb_make_finish(&mk);
    return -1;
  }
  c->line = 0;
  c->entries = first_line.size();
  const bool *const flags[] = {classify, addresses, parents};
  char meta[6];
  for (int i = 0; i < 6; ++i) meta[i] = flags[i / 2][i % 2] ? '1' : '0';
  if (cdb_make_add(&mk, POLICY_META, sizeof POLICY_META - 1, meta, sizeof meta) < 0 ||
      cdb_make_finish(&mk) < 0)
    return -1;
  return 0;
}
