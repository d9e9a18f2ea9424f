// qmail-zelmd-policy on a scratch qmail home: what it says, its exit code,
// and what it leaves in control/.
#include <sys/wait.h>

#include <cstdio>
#include <set>

#include "../lib/scratch_dir.h"
#include "policy_file.h"

namespace fs = std::filesystem;

TEST(PolicyCompiler, Runs) {
  const struct {
    const char *args, *text; // text: null for none
    int code;
    const char *said;
    bool old_is_file = true, replaced = false; // control/zelmd_policy.cdb: a file, or a directory
  } rows[] = {
      {"", "a.org:check=1\nfrom:b.org:\n", 0, "control/zelmd_policy.cdb: 2 entries\n", true, true},
      {"", "a.org:check=1\nb.org:chek=1\n", 1, "line 2: unknown setting \"chek\"\n"},
      {"", "a.org:\n", 1, "cannot rename control/zelmd_policy.cdb.tmp.", false},
      {" stray", "a.org:\n", 2, "usage: qmail-zelmd-policy [-d qmail-home]\n"},
      {" -x", "a.org:\n", 2, "usage: qmail-zelmd-policy [-d qmail-home]\n"},
  };
  for (const auto &row : rows) {
    scratch_dir d;
    std::set<std::string> want = {"zelmd_policy.cdb"}, left;
    if (row.old_is_file)
      d.write("control/zelmd_policy.cdb", "old");
    else
      fs::create_directories(d.path / "control/zelmd_policy.cdb");
    if (row.text) d.write("control/zelmd_policy", row.text), want.insert("zelmd_policy");
    const std::string cmd = ZELMD_POLICY " -d " + d.path.string() + row.args + " 2>&1";
    FILE *f = popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string said(4096, '\0');
    said.resize(fread(said.data(), 1, said.size(), f));
    const int st = pclose(f);
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, row.code) << row.args;
    EXPECT_NE(said.find(row.said), std::string::npos) << said;
    for (const auto &e : fs::directory_iterator(d.path / "control"))
      left.insert(e.path().filename());
    EXPECT_EQ(left, want) << row.args;
    policy_db db;
    EXPECT_EQ(policy_open(&db, "control/zelmd_policy.cdb"), row.replaced ? 0 : -1) << said;
    policy_close(&db);
  }
}
