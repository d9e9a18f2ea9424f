// The policy file as functions: a line into its entry, a compiled value
// back into settings, the text into a compiled file, and the entry each
// address finds.
#include <fcntl.h>

#include <cerrno>
#include <string>

#include "../lib/scratch_dir.h"
#include "fd.h"
#include "policy_compile.h"
#include "policy_file.h"

namespace {
using namespace std::literals;

// What the control files would give, in values no entry can hold.
rule_set stand_in() {
  rule_set r{};
  for (const policy_setting &p : policy_settings) {
    if (p.text)
      r.*p.text = "<unset>";
    else
      r.*p.number = -1;
  }
  r.entry = "<none>";
  return r;
}

// What decoding value wrote over the stand-in, in table order, flagged
// when from_entry does not name just that; "undecodable" when it fails.
std::string decoded(std::string_view value) {
  rule_set r = stand_in();
  if (policy_decode(value, &r) == -1) return "undecodable";
  std::string s;
  unsigned set = 0;
  for (size_t k = 0; k < POLICY_SETTINGS; ++k) {
    const policy_setting &p = policy_settings[k];
    const std::string v =
        p.text ? "\"" + std::string(r.*p.text) + "\"" : std::to_string(r.*p.number);
    if (v == "\"<unset>\"" || v == "-1") continue;
    s += (s.empty() ? "" : " ") + std::string(p.name) + "=" + v;
    set |= 1u << k;
  }
  return r.from_entry == set ? s : s + " (from_entry wrong)";
}

// A line as compiled: "key [settings]", with " +" when it classifies; ""
// for nothing to compile; "! why" for a bad line.
std::string compiled(std::string_view line) {
  policy_entry e;
  char why[200];
  const int got = policy_parse_line(line, &e, why, sizeof why);
  if (got <= 0) return got ? "! "s + why : "";
  const std::string key(e.key, e.key_len);
  if (e.outbound != key.starts_with("from:")) return "direction wrong";
  return key + (e.classifies ? " +" : "") + " [" + decoded({e.value, e.value_len}) + "]";
}

TEST(PolicyFile, Lines) {
  const std::string longest(POLICY_KEY_MAX, 'a');
  const std::string rows[][2] = {
      {" \t# a comment, with: check=1", ""},
      {"Example.ORG:check=0", "example.org [check=0]"},
      {"\t.example.org: check = 1 , block_spam=1\t# partners",
       ".example.org + [check=1 block_spam=1]"},
      {"FROM:Sales@Example.com:max_size=9,tag_only=1,check=2",
       "from:sales@example.com + [check=2 tag_only=1 max_size=9]"},
      {"user@example.org: # the control files alone", "user@example.org []"},
      {R"(a.org:subject_tag="[SPAM?] a,b #c \"q\" \\"#x)",
       R"(a.org [subject_tag="[SPAM?] a,b #c "q" \"])"},
      {"a.org:subject_tag=\"\",check=2147483647", "a.org + [check=2147483647 subject_tag=\"\"]"},
      {"a.org:subject_tag=[SPAM],require_scan=007",
       "a.org [require_scan=7 subject_tag=\"[SPAM]\"]"},
      {longest + ":block_bulk=1", longest + " [block_bulk=1]"},
      {"example.org", "! no colon after the key"},
      {"from::check=1", "! empty key"},
      {longest + "a:", "! key longer than 255 bytes"},
      {"example.org :check=1", "! blank in the key"},
      {"caf\xc3\xa9.org:", "! control byte or byte above 126 in the key"},
      {"a@b@example.org:", "! more than one @ in the key"},
      {"@example.org:", "! nothing before the @ of the key"},
      {"user@:", "! nothing after the @ of the key"},
      {".:", "! nothing after the leading dot of the key"},
      {".mail..example.org:", "! empty label in the domain of the key"},
      {"user@.example.org:", "! empty label in the domain of the key"},
      {"example.org.:", "! empty label in the domain of the key"},
      {"a.org:check=1\r", "! carriage return at the end of the line: write the file without CR"},
      {"a.org:Check=1", "! unknown setting \"Check\""},
      {"a.org:check=1,check=0", "! check given twice"},
      {"a.org:check 1", "! check without =VALUE"},
      {"a.org:check=1,", "! empty setting after the last comma"},
      {"a.org:check=", "! check: no value (an empty text is written \"\")"},
      {"a.org:check=-1", "! check: not a number from 0 to 2147483647"},
      {"a.org:max_size=2147483648", "! max_size: not a number from 0 to 2147483647"},
      {"a.org:block_spam=2", "! block_spam=2 would not act: only 1 does; write 0 or 1"},
      {"a.org:subject_tag=[SPAM?]#1",
       "! subject_tag: # inside an unquoted value: quote the value, or put a blank before the "
       "comment"},
      {"a.org:subject_tag=ab\"c\"", "! subject_tag: quote inside an unquoted value"},
      {R"(a.org:subject_tag="abc\")", "! subject_tag: no closing quote"},
      {R"(a.org:subject_tag="a\b")", R"(! subject_tag: \ before a byte other than " or \)"},
      {"a.org:subject_tag=\"a\"b", "! subject_tag: text after the value"},
      {"a.org:subject_tag=\"" + std::string(65, 'x') + "\"", "! subject_tag: longer than 64 bytes"},
      {"a.org:subject_tag=\"a\tb\"", "! subject_tag: control byte or byte above 126"},
  };
  for (const auto &[line, want] : rows) EXPECT_EQ(compiled(line), want) << line;
}

// Held to what the compiler writes, whatever a damaged file holds.
TEST(PolicyFile, Decode) {
  const std::string_view rows[][2] = {
      {"\0\1\0\0\0\2\1\0\0\0"sv, "check=1 block_spam=1"},
      {"\2\1\0\0\0\0\1\0\0\0"sv, "undecodable"}, // out of order
      {"\0\1\0\0\0\0\1\0\0\0"sv, "undecodable"}, // twice
      {"\13\1\0\0\0"sv, "undecodable"},          // no such setting
      {"\2\2\0\0\0"sv, "undecodable"},           // a switch at 2
      {"\0\0\0\0\x80"sv, "undecodable"},         // above 2147483647
      {"\0\1\0\0"sv, "undecodable"},             // cut short
      {"\12\2a\n"sv, "undecodable"},             // a control byte
  };
  for (const auto &[value, want] : rows) EXPECT_EQ(decoded(value), want) << value.size();
  EXPECT_EQ(decoded("\12\x41" + std::string(65, 'a')), "undecodable");
}

// Compiled, then opened as the filter opens it: "" or the reason, the
// entries and, per direction, whether it can classify and has keys of
// addresses and of domains with a leading dot.
TEST(PolicyFile, Compile) {
  const std::string rows[][2] = {
      {"a.org:block_spam=1\nfrom:b.org:check=1\n", " 2 in 000 out 100"},
      {"u@a.org:\nfrom:.b.org:\n.c.org:check=1\n", " 3 in 111 out 001"},
      {"a.org:check=1\nA.ORG:check=0\n", "line 2: key a.org given twice, first on line 1"},
      {"# c\n\nfrom:x.org:\nFrom:X.org:", "line 4: key from:x.org given twice, first on line 3"},
      {"ok.org:\nbad line\n", "line 2: no colon after the key"},
  };
  for (const auto &[text, want] : rows) {
    scratch_dir d;
    policy_compiled c;
    policy_db db;
    if (policy_compile(text, fd_owner(open("p", O_RDWR | O_CREAT, 0644)).get(), &c) == -1 ||
        policy_open(&db, "p") == -1) {
      EXPECT_EQ(c.why, want);
      continue;
    }
    std::string got = std::string(c.why) + " " + std::to_string(c.entries);
    for (const int dir : {0, 1})
      got += std::string(dir ? " out " : " in ") + "01"[db.classify[dir]] +
             "01"[db.addresses[dir]] + "01"[db.parents[dir]];
    EXPECT_EQ(got, want);
    policy_close(&db);
  }
}

TEST(PolicyFile, Lookup) {
  scratch_dir d;
  policy_compiled c;
  ASSERT_EQ(
      policy_compile("user@example.org:check=11\nexample.org:check=12\n.example.org:check=13\n"
                     ".org:check=14\npostmaster:check=15\nquiet.example.org:\n"
                     "from:user@example.org:check=21\nfrom:.example.org:check=23\n",
                     fd_owner(open("p", O_RDWR | O_CREAT, 0644)).get(), &c),
      0);
  policy_db db;
  ASSERT_EQ(policy_open(&db, "p"), 0);
  const std::string far(300, 'a');
  const struct {
    std::string address;
    bool outbound;
    std::string want; // the entry and the check it set, or "none"
  } rows[] = {
      {"USER@Example.ORG", false, "user@example.org 11"},
      {"u@a.b.Example.org", false, ".example.org 13"},
      {"u@quiet.example.org", false, "quiet.example.org -1"},
      {"u@example.com", false, "none"},
      {"postmaster", false, "postmaster 15"},
      {"mail.example.org", false, "none"},
      {"", false, "none"},
      {far + "@example.org", false, "example.org 12"},
      {far + "@" + far + ".org", false, ".org 14"},
      {"user@example.org", true, "from:user@example.org 21"},
      {"x@example.org", true, "none"},
      {"x@Sub.example.org", true, "from:.example.org 23"},
      {far + "@example.org", true, "none"},
  };
  for (const auto &[address, outbound, want] : rows) {
    rule_set r = stand_in();
    const int got = policy_find(db, address, outbound, &r);
    const bool untouched = r.entry == "<none>" && r.check == -1;
    EXPECT_EQ(got == 1   ? std::string(r.entry) + " " + std::to_string(r.check)
              : got == 0 ? (untouched ? "none" : "touched")
                         : "error",
              want)
        << address;
  }
  policy_close(&db);
}

// A missing file has no entries; one that is no compiled policy is
// refused; a record that does not decode fails its lookup.
TEST(PolicyFile, Open) {
  scratch_dir d;
  d.write("text", std::string(3000, 'x'));
  const auto make = [](const char *name, std::string_view value, const char *meta) {
    const fd_owner fd(open(name, O_RDWR | O_CREAT, 0644));
    cdb_make mk;
    cdb_make_start(&mk, fd.get());
    cdb_make_add(&mk, "a.org", 5, value.data(), static_cast<unsigned>(value.size()));
    if (meta) cdb_make_add(&mk, POLICY_META, 9, meta, 6);
    cdb_make_finish(&mk);
  };
  make("no-meta", "", nullptr);
  make("bad-meta", "", "1x1111");
  make("bad-value", "\2\2\0\0\0"sv, "111111");
  const struct {
    const char *path;
    int open, find;
  } rows[] = {{"missing", 0, 0},
              {"text", -1, 0},
              {"no-meta", -1, 0},
              {"bad-meta", -1, 0},
              {"bad-value", 0, -1}};
  for (const auto &[path, opened, found] : rows) {
    policy_db db;
    rule_set r = stand_in();
    EXPECT_EQ(policy_open(&db, path), opened) << path;
    EXPECT_EQ(opened ? errno : EPROTO, EPROTO) << path;
    EXPECT_EQ(policy_find(db, "u@a.org", false, &r), found) << path;
    EXPECT_EQ(r.entry, "<none>");
    policy_close(&db);
  }
}

} // namespace
