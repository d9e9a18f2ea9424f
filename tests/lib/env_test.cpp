#include <gtest/gtest.h>

#include <string>

#include "env.h"

extern char **environ;

namespace {

int count(const char *name) {
  const std::string prefix = std::string(name) + "=";
  int n = 0;
  for (char **e = environ; *e; ++e)
    if (std::string(*e).rfind(prefix, 0) == 0) ++n;
  return n;
}

TEST(Env, PutReplacesInheritedAndEarlierValues) {
  setenv("ZELMD_T_A", "inherited", 1);
  ASSERT_STREQ(env_get("ZELMD_T_A"), "inherited");
  ASSERT_EQ(env_put("ZELMD_T_A=one"), 1);
  EXPECT_STREQ(env_get("ZELMD_T_A"), "one");
  ASSERT_EQ(env_put("ZELMD_T_A=two"), 1);
  EXPECT_STREQ(env_get("ZELMD_T_A"), "two");
  EXPECT_EQ(count("ZELMD_T_A"), 1);
  ASSERT_EQ(env_put("ZELMD_T_A="), 1);
  EXPECT_STREQ(env_get("ZELMD_T_A"), ""); // empty counts as set
}

TEST(Env, PrefixIsNotAMatchAndTextWithoutEqualsIsAdded) {
  ASSERT_EQ(env_put("ZELMD_T_LONGNAME=x"), 1);
  EXPECT_EQ(env_get("ZELMD_T_LONG"), nullptr);
  ASSERT_EQ(env_put("ZELMD_T_NOEQ"), 1);
  bool found = false;
  for (char **e = environ; *e; ++e) found |= std::string(*e) == "ZELMD_T_NOEQ";
  EXPECT_TRUE(found);
  EXPECT_EQ(env_get("ZELMD_T_NOEQ"), nullptr);
}

TEST(Env, GrowsPastItsHeadroomKeepingEveryEntry) {
  for (int i = 0; i < 100; ++i) {
    const std::string e = "ZELMD_T_G" + std::to_string(i) + "=" + std::to_string(i * 7);
    ASSERT_EQ(env_put(e.c_str()), 1);
  }
  for (int i = 0; i < 100; ++i) {
    const std::string name = "ZELMD_T_G" + std::to_string(i);
    ASSERT_NE(env_get(name.c_str()), nullptr) << name;
    EXPECT_EQ(std::string(env_get(name.c_str())), std::to_string(i * 7));
  }
  EXPECT_NE(env_get("PATH"), nullptr); // inherited entries survive the copy
}

} // namespace
