// The policy file as functions: a line into its entry, the text into a
// compiled file, a compiled value back into settings, and the entry each
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

// The settings an entry wrote over the stand-in, in table order, and
// whether from_entry names just them.
std::string settings_of(const rule_set &r) {
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

TEST(PolicyFile, GoodLines) {
  static const std::string longest(POLICY_KEY_MAX, 'a');
  const struct {
    std::string line;
    const char *key; // null: nothing to compile
    const char *settings = "";
    bool classifies = false;
  } rows[] = {
      {"", nullptr},
      {" \t# a comment, with: check=1", nullptr},
      {"Example.ORG:check=0", "example.org", "check=0"},
      {"\t.example.org: check = 1 , block_spam=1\t# partners", ".example.org",
       "check=1 block_spam=1", true},
      {"FROM:Sales@Example.com:max_size=1000000,tag_only=1,check=2", "from:sales@example.com",
       "check=2 tag_only=1 max_size=1000000", true},
      {"from:.example.org:check=0", "from:.example.org", "check=0"},
      {"user@example.org: # the control files alone", "user@example.org"},
      {R"(a.org:subject_tag="[SPAM?] a,b #c \"q\" \\"#x)", "a.org",
       R"(subject_tag="[SPAM?] a,b #c "q" \")"},
      {"a.org:subject_tag=\"\"", "a.org", "subject_tag=\"\""},
      {"a.org:subject_tag=[SPAM]", "a.org", "subject_tag=\"[SPAM]\""},
      {"a.org:require_scan=007,check=2147483647", "a.org", "check=2147483647 require_scan=7", true},
      {"postmaster:quarantine=1,custom_reply=0,block_vhigh=1,block_virus=0,block_bulk=1",
       "postmaster", "block_bulk=1 block_virus=0 block_vhigh=1 custom_reply=0 quarantine=1"},
      {longest + ":", longest.c_str()},
  };
  for (const auto &row : rows) {
    policy_entry e;
    char why[200] = "";
    const int got = policy_parse_line(row.line, &e, why, sizeof why);
    ASSERT_EQ(got, row.key ? 1 : 0) << row.line << ": " << why;
    if (!row.key) continue;
    rule_set r = stand_in();
    ASSERT_EQ(policy_decode({e.value, e.value_len}, &r), 0) << row.line;
    EXPECT_EQ(std::string(e.key, e.key_len), row.key);
    EXPECT_EQ(settings_of(r), row.settings) << row.line;
    EXPECT_EQ(e.classifies, row.classifies) << row.line;
    EXPECT_EQ(e.outbound, std::string(row.key).starts_with("from:")) << row.line;
  }
}

TEST(PolicyFile, BadLines) {
  const char *const hash_inside = "# inside an unquoted value: quote the value, or put a blank "
                                  "before the comment";
  const struct {
    std::string line, why;
  } rows[] = {
      {"example.org", "no colon after the key"},
      {"from:example.org", "no colon after the key"},
      {":check=1", "empty key"},
      {"from::check=1", "empty key"},
      {std::string(256, 'a') + ":", "key longer than 255 bytes"},
      {"example.org :check=1", "blank in the key"},
      {"exa\x01mple.org:", "control byte or byte above 126 in the key"},
      {"caf\xc3\xa9.org:", "control byte or byte above 126 in the key"},
      {"a@b@example.org:", "more than one @ in the key"},
      {"@example.org:", "nothing before the @ of the key"},
      {"user@:", "nothing after the @ of the key"},
      {".:", "nothing after the leading dot of the key"},
      {".mail..example.org:", "empty label in the domain of the key"},
      {"user@.example.org:", "empty label in the domain of the key"},
      {"example.org.:", "empty label in the domain of the key"},
      {"a.org:check=1\r", "carriage return at the end of the line: write the file without CR"},
      {"a.org:chek=1", "unknown setting \"chek\""},
      {"a.org:Check=1", "unknown setting \"Check\""},
      {"a.org:check=1,check=0", "check given twice"},
      {"a.org:check 1", "check without =VALUE"},
      {"a.org:=1", "setting without a name"},
      {"a.org:check=1,,block_spam=1", "empty setting"},
      {"a.org:check=1,", "empty setting after the last comma"},
      {"a.org:check=", "check: no value (an empty text is written \"\")"},
      {"a.org:check=-1", "check: not a number from 0 to 2147483647"},
      {"a.org:max_size=2147483648", "max_size: not a number from 0 to 2147483647"},
      {"a.org:block_spam=2", "block_spam=2 would not act: only 1 does; write 0 or 1"},
      {"a.org:tag_only=yes", "tag_only: not 0 or 1"},
      {"a.org:subject_tag=[SPAM?]#1", std::string("subject_tag: ") + hash_inside},
      {"a.org:subject_tag=ab\"c\"", "subject_tag: quote inside an unquoted value"},
      {R"(a.org:subject_tag="abc\")", "subject_tag: no closing quote"},
      {R"(a.org:subject_tag="a\b")", R"(subject_tag: \ before a byte other than " or \)"},
      {"a.org:subject_tag=\"a\"b", "subject_tag: text after the value"},
      {"a.org:check=1 2", "check: text after the value"},
      {"a.org:subject_tag=\"" + std::string(65, 'x') + "\"", "subject_tag: longer than 64 bytes"},
      {"a.org:subject_tag=\"a\tb\"", "subject_tag: control byte or byte above 126"},
  };
  for (const auto &row : rows) {
    policy_entry e;
    char why[200] = "";
    EXPECT_EQ(policy_parse_line(row.line, &e, why, sizeof why), -1) << row.line;
    EXPECT_EQ(std::string(why), row.why) << row.line;
  }
}

// Held to what the compiler writes, whatever a damaged file holds.
TEST(PolicyFile, Decode) {
  const struct {
    std::string value;
    const char *settings; // null: does not decode
  } rows[] = {
      {"", ""},
      {std::string("\0\1\0\0\0\2\1\0\0\0", 10), "check=1 block_spam=1"},
      {std::string("\12\2ab", 4), "subject_tag=\"ab\""},
      {std::string("\2\1\0\0\0\0\1\0\0\0", 10), nullptr}, // out of order
      {std::string("\0\1\0\0\0\0\1\0\0\0", 10), nullptr}, // twice
      {std::string("\13\1\0\0\0", 5), nullptr},           // no such setting
      {std::string("\2\2\0\0\0", 5), nullptr},            // a toggle at 2
      {std::string("\0\0\0\0\x80", 5), nullptr},          // above 2147483647
      {std::string("\0\1\0\0", 4), nullptr},              // cut short
      {std::string("\12\3ab", 4), nullptr},               // text cut short
      {std::string("\12\2a\n", 4), nullptr},              // a control byte
      {"\12\x41" + std::string(65, 'a'), nullptr},        // too long
  };
  for (const auto &row : rows) {
    rule_set r = stand_in();
    EXPECT_EQ(policy_decode(row.value, &r), row.settings ? 0 : -1) << row.value.size();
    EXPECT_EQ(settings_of(r), row.settings ? row.settings : "");
  }
}

// The text compiled, then opened as the filter opens it.
TEST(PolicyFile, Compile) {
  const struct {
    const char *text, *why; // why: "" when it compiles
    unsigned long entries = 0;
    bool in = false, out = false;
  } rows[] = {
      {"", ""},
      {"# none\n\n", ""},
      {"a.org:check=0\nfrom:a.org:check=0", "", 2},
      {"a.org:check=2\nfrom:b.org:block_spam=1\n", "", 2, true},
      {"a.org:block_spam=1\nfrom:b.org:check=1\n", "", 2, false, true},
      {"a.org:check=1\nA.ORG:check=0\n", "line 2: key a.org given twice, first on line 1"},
      {"# c\n\nfrom:x.org:\nFrom:X.org:", "line 4: key from:x.org given twice, first on line 3"},
      {"ok.org:\nbad line\n", "line 2: no colon after the key"},
  };
  for (const auto &row : rows) {
    scratch_dir d;
    const fd_owner fd(open("p.cdb", O_RDWR | O_CREAT | O_EXCL, 0644));
    policy_compiled c;
    EXPECT_EQ(policy_compile(row.text, fd.get(), &c), *row.why ? -1 : 0) << row.text;
    EXPECT_EQ(std::string(c.why), row.why);
    if (*row.why) continue;
    policy_db db;
    ASSERT_EQ(policy_open(&db, "p.cdb"), 0) << row.text;
    EXPECT_EQ(c.entries, row.entries) << row.text;
    EXPECT_EQ(policy_can_classify(db, false), row.in) << row.text;
    EXPECT_EQ(policy_can_classify(db, true), row.out) << row.text;
    policy_close(&db);
  }
}

TEST(PolicyFile, Lookup) {
  scratch_dir d;
  const std::string text = "user@example.org:check=11\nexample.org:check=12\n"
                           ".example.org:check=13\n.org:check=14\npostmaster:check=15\n"
                           "quiet.example.org:\nfrom:user@example.org:check=21\n"
                           "from:.example.org:check=23\n";
  const fd_owner fd(open("p.cdb", O_RDWR | O_CREAT | O_EXCL, 0644));
  policy_compiled c;
  ASSERT_EQ(policy_compile(text, fd.get(), &c), 0);
  policy_db db;
  ASSERT_EQ(policy_open(&db, "p.cdb"), 0);
  const struct {
    std::string address;
    bool outbound;
    const char *entry; // null: none
    int check = -1;
  } rows[] = {
      {"user@example.org", false, "user@example.org", 11},
      {"USER@Example.ORG", false, "user@example.org", 11},
      {"other@example.org", false, "example.org", 12},
      {"u@mail.example.org", false, ".example.org", 13},
      {"u@a.b.Example.org", false, ".example.org", 13},
      {"u@quiet.example.org", false, "quiet.example.org"},
      {"u@other.org", false, ".org", 14},
      {"u@example.com", false, nullptr},
      {"u@", false, nullptr},
      {"postmaster", false, "postmaster", 15},
      {"postmaster@example.net", false, nullptr},
      {"example.org", false, "example.org", 12},
      {"mail.example.org", false, nullptr},
      {"", false, nullptr},
      {std::string(300, 'a') + "@example.org", false, "example.org", 12},
      {std::string(300, 'a') + "@" + std::string(300, 'b') + ".org", false, ".org", 14},
      {"user@example.org", true, "from:user@example.org", 21},
      {"x@example.org", true, nullptr},
      {"x@Sub.example.org", true, "from:.example.org", 23},
      {"postmaster", true, nullptr},
      {std::string(300, 'a') + "@example.org", true, nullptr},
  };
  for (const auto &row : rows) {
    rule_set r = stand_in();
    EXPECT_EQ(policy_find(&db, row.address, row.outbound, &r), row.entry ? 1 : 0) << row.address;
    EXPECT_EQ(r.entry, row.entry ? row.entry : "<none>") << row.address;
    EXPECT_EQ(r.check, row.check) << row.address;
  }
  policy_close(&db);
}

// A missing file has no entries; anything else that is no compiled policy
// is refused.
TEST(PolicyFile, Open) {
  scratch_dir d;
  d.write("text", std::string(3000, 'x'));
  const auto make = [](const char *name, std::string_view value, const char *meta) {
    const fd_owner fd(open(name, O_RDWR | O_CREAT | O_EXCL, 0644));
    cdb_make mk;
    cdb_make_start(&mk, fd.get());
    cdb_make_add(&mk, "a.org", 5, value.data(), static_cast<unsigned>(value.size()));
    if (meta) cdb_make_add(&mk, POLICY_META, 9, meta, 2);
    cdb_make_finish(&mk);
  };
  make("no-meta", "", nullptr);
  make("bad-meta", "", "1x");
  make("bad-value", "\2\2\0\0\0"sv, "11");
  const struct {
    const char *path;
    int open, find = 0;
  } rows[] = {
      {"missing", 0}, {"text", -1}, {"no-meta", -1}, {"bad-meta", -1}, {"bad-value", 0, -1},
  };
  for (const auto &row : rows) {
    policy_db db;
    errno = 0;
    EXPECT_EQ(policy_open(&db, row.path), row.open) << row.path;
    EXPECT_EQ(row.open ? errno : EPROTO, EPROTO) << row.path;
    rule_set r = stand_in();
    EXPECT_EQ(policy_find(&db, "u@a.org", false, &r), row.find) << row.path;
    EXPECT_EQ(r.entry, "<none>");
    policy_close(&db);
  }
}

} // namespace
