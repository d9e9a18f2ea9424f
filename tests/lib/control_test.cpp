#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "control.h"
#include "scratch_dir.h"

namespace {

std::string str(const stralloc &sa) { return std::string(sa.s, sa.len); }

TEST(ControlReadline, FirstLineWithTrailingBlanksRemoved) {
  scratch_dir d;
  const std::string longline(300, 'w');
  struct { std::string content; std::string value; } cases[] = {
      {"value \t\n", "value"},
      {"value\r\n", "value\r"}, // a carriage return is kept
      {"first\nsecond\n", "first"},
      {"", ""},
      {"  \t \n", ""},
      {" lead", " lead"},
      {"no newline", "no newline"},
      {longline + "\n", longline}, // longer than the reader's buffer
  };
  for (const auto &c : cases) {
    d.write("control/x", c.content);
    stralloc sa;
    ASSERT_EQ(control_readline(&sa, "control/x"), 1) << c.content;
    EXPECT_EQ(str(sa), c.value);
  }
}

TEST(ControlReaders, MissingEmptyAndUnreadable) {
  scratch_dir d;
  d.write("control/empty", "");
  d.write("control/file", "x");
  std::filesystem::create_directories("control/adir");
  stralloc sa;
  EXPECT_EQ(control_readline(&sa, "control/missing"), 0);
  EXPECT_EQ(control_rldef(&sa, "control/missing", 0, "dflt"), 1);
  EXPECT_EQ(str(sa), "dflt");
  EXPECT_EQ(control_rldef(&sa, "control/missing", 0, nullptr), 0);
  EXPECT_EQ(control_rldef(&sa, "control/empty", 0, "dflt"), 1);
  EXPECT_EQ(str(sa), "");
  // Exists but cannot be read: a directory, or a path through a file.
  for (const char *fn : {"control/adir", "control/file/x"}) {
    int i = 5;
    EXPECT_EQ(control_readline(&sa, fn), -1) << fn;
    EXPECT_EQ(control_rldef(&sa, fn, 0, "dflt"), -1) << fn;
    EXPECT_EQ(control_readint(&i, fn), -1) << fn;
    EXPECT_EQ(i, 5);
  }
  if (geteuid() != 0) {
    d.write("control/secret", "x");
    std::filesystem::permissions("control/secret", std::filesystem::perms::none);
    EXPECT_EQ(control_readline(&sa, "control/secret"), -1);
  }
}

TEST(ControlReadint, LeadingDigitsAndLow32Bits) {
  scratch_dir d;
  struct { const char *content; int result; int value; } cases[] = {
      {"12\n", 1, 12},
      {"12 and more", 1, 12},
      {"yes", 0, 7},
      {" 12", 0, 7},
      {"-1", 0, 7},
      {"", 0, 7},
      {"4294967295", 1, -1},
      {"3000000000", 1, static_cast<int>(3000000000u)},
  };
  for (const auto &c : cases) {
    d.write("control/n", c.content);
    int i = 7;
    EXPECT_EQ(control_readint(&i, "control/n"), c.result) << c.content;
    EXPECT_EQ(i, c.value) << c.content;
  }
  int i = 7;
  EXPECT_EQ(control_readint(&i, "control/none"), 0);
  EXPECT_EQ(i, 7);
}

TEST(ControlInit, MeIsOptionalButMustBeReadable) {
  scratch_dir d;
  EXPECT_EQ(control_init(), 0);
  std::filesystem::create_directories("control/me");
  EXPECT_EQ(control_init(), -1);
  std::filesystem::remove("control/me");
  d.write("control/me", "mail.example.org\n");
  EXPECT_EQ(control_init(), 1);
  stralloc sa;
  EXPECT_EQ(control_rldef(&sa, "control/missing", 1, "dflt"), 1);
  EXPECT_EQ(str(sa), "mail.example.org");
}

} // namespace
