// Black-box tests of zelmd-sim: the real binary on a free loopback port,
// stopped by signal and reaped by every test.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string inline_path = "/zelmd/ClassifyMessage_Inline",
                  file_path = "/zelmd/ClassifyMessage_File";
const std::string gtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";
const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct scratch {
  fs::path dir;
  scratch() {
    fs::create_directories(ZELMD_SCRATCH);
    std::string t = ZELMD_SCRATCH "/sim-XXXXXX";
    dir = mkdtemp(t.data());
  }
  ~scratch() { fs::remove_all(dir); }
  std::string put(const std::string &name, const std::string &bytes) const {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return dir / name;
  }
};

std::string slurp(const fs::path &p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

// Runs zelmd-sim with its standard output on a pipe; it dies with the test.
struct child {
  pid_t pid = -1;
  int out = -1;

  explicit child(const std::vector<std::string> &args) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(p[1], 1);
      std::vector<char *> argv{const_cast<char *>(ZELMD_SIM)};
      for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(ZELMD_SIM, argv.data());
      _exit(127);
    }
    close(p[1]);
    out = p[0];
  }
  // Up to the first newline, or all of it.
  std::string read(bool all = false) const {
    std::string s;
    for (char c; ::read(out, &c, 1) == 1 && (all || c != '\n');) s += c;
    return s;
  }
  // Exit code, or 128 + signal. A hang is ended by the test's time limit.
  int wait(int sig = 0) {
    if (sig) kill(pid, sig);
    close(out);
    int st = 0;
    waitpid(std::exchange(pid, -1), &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
};

std::vector<std::string> on_free_port(std::vector<std::string> args) {
  args.insert(args.end(), {"--port", "0"});
  return args;
}

struct sim : child {
  int port = 0;
  explicit sim(const std::vector<std::string> &args = {}) : child(on_free_port(args)) {
    const std::string line = read(), want = "zelmd-sim listening on 127.0.0.1:";
    EXPECT_TRUE(line.starts_with(want)) << line;
    if (line.starts_with(want)) port = std::stoi(line.substr(want.size()));
  }
  ~sim() {
    if (pid > 0) {
      EXPECT_EQ(wait(SIGTERM), 0);
    }
  }
  httplib::Result post(const std::string &path, const std::string &body) const {
    return httplib::Client("127.0.0.1", port).Post(path, body, "text/plain");
  }
};

std::string head(const std::optional<std::string> &sender = {}) {
  return "X-ZELM-PVer: 0000001\r\nX-ZELM-MailFrom: a@x\r\nX-ZELM-SenderIP: 192.0.2.1\r\n" +
         (sender ? "X-ZELM-SenderID: " + *sender + "\r\n" : "");
}

// The answer's lines by name; each must end in CR LF.
std::map<std::string, std::string> lines(const std::string &body) {
  std::map<std::string, std::string> m;
  std::istringstream in(body);
  for (std::string l; std::getline(in, l);) {
    const size_t colon = l.find(": ");
    EXPECT_TRUE(l.ends_with('\r') && colon != l.npos) << l;
    if (colon != l.npos) m[l.substr(0, colon)] = l.substr(colon + 2, l.size() - colon - 3);
  }
  return m;
}

TEST(ZelmdSim, ClassifiesInlineAndFromFile) {
  const std::string padding(65536 - 30, 'p'); // test strings across read boundaries
  struct {
    const char *name;
    std::string message, spam, vod;
  } cases[] = {
      {"clean", "Subject: hi\n\nhello\n", "None", "Clean"},
      {"gtube", "Subject: hi\n\n" + gtube + "\n", "Confirmed", "Clean"},
      {"eicar", eicar, "None", "Virus"},
      {"gtube but its last byte", gtube.substr(0, gtube.size() - 1), "None", "Clean"},
      {"behind NUL bytes", "a\0\0b"s + gtube, "Confirmed", "Clean"},
      {"eicar.com attached", "\nWDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5E\n", "None",
       "Virus"},
      {"far in", padding + gtube + padding + padding + eicar, "Confirmed", "Virus"},
  };
  scratch s;
  sim d;
  std::set<std::string> refids;
  for (const auto &c : cases) {
    for (bool file : {false, true}) {
      SCOPED_TRACE(c.name + (file ? " from file"s : " inline"s));
      const std::string name = file ? "X-ZELM-FileName: " + s.put("m", c.message) + "\r\n" : "";
      const auto r = d.post(file ? file_path : inline_path,
                            head() + name + "\r\n" + (file ? "" : c.message));
      ASSERT_TRUE(r);
      EXPECT_EQ(r->status, 200);
      auto got = lines(r->body);
      EXPECT_TRUE(refids.insert(got["X-ZELM-RefID"]).second) << "RefID repeated or missing";
      got.erase("X-ZELM-RefID");
      const decltype(got) want{{"X-ZELM-PVer", "0000001"},
                               {"X-ZELM-Spam", c.spam},
                               {"X-ZELM-VOD", c.vod},
                               {"X-ZELM-Flags", "0"}};
      EXPECT_EQ(got, want);
    }
  }
}

TEST(ZelmdSim, CountsPerSender) {
  struct {
    std::optional<std::string> sender; // none: inbound
    std::string message, flags, messages, spam, virus, bluewhite = "0";
  } steps[] = {
      {"alice@x", "hello", "0", "1", "0", "0"},
      {"bob@x", gtube, "2", "1", "1", "0"},
      {"alice@x", eicar, "2", "2", "0", "1"},
      {{}, gtube, "", "", "", ""},               // inbound: counted nowhere
      {"alice@x", "hello", "2", "3", "0", "1"},  // a flag stays once earned
      {"", "hello", "0", "1", "0", "0"},         // an empty identity is one too
      {"a=b@x", gtube, "2", "1", "1", "0", "2"}, // split at the last '='
  };
  sim d({"--bluewhite", "a=b@x=2"});
  for (const auto &st : steps) {
    SCOPED_TRACE(st.sender.value_or("inbound"));
    const auto r = d.post(inline_path, head(st.sender) + "\r\n" + st.message);
    ASSERT_TRUE(r);
    const auto got = lines(r->body);
    const auto value = [&](const std::string &name) {
      const auto it = got.find("X-ZELM-SenderID" + name);
      return it == got.end() ? "absent"s : it->second;
    };
    if (!st.sender) {
      EXPECT_EQ(value(""), "absent");
      EXPECT_EQ(value("-TotalMessages"), "absent");
      continue;
    }
    const std::vector<std::string> row{value(""),          value("-Flags"),
                                       value("-TotalMessages"), value("-TotalSpam"),
                                       value("-TotalSuspected"), value("-TotalVirus"),
                                       value("-BlueWhiteFlag")};
    const std::vector<std::string> want{*st.sender, st.flags, st.messages, st.spam,
                                        "0",        st.virus, st.bluewhite};
    EXPECT_EQ(row, want);
  }
}

TEST(ZelmdSim, RefusesWhatItCannotClassify) {
  scratch s;
  const std::string file = head() + "X-ZELM-FileName: ";
  struct {
    const char *name;
    std::string path, body;
    int status;
  } cases[] = {
      {"unknown path", "/zelmd/Classify", head() + "\r\nm", 404},
      {"no empty line", inline_path, head() + "m", 400},
      {"bare line feeds", inline_path, "X-ZELM-PVer: 0000001\nX-ZELM-MailFrom: a\n\nm", 400},
      // not echoed: the answer would carry a line the filter takes for a verdict
      {"line feed inside a line", inline_path, "X-ZELM-PVer: 1\nX-ZELM-Spam: Confirmed\r\n\r\n",
       400},
      {"no client address", inline_path, "X-ZELM-PVer: 0000001\r\nX-ZELM-MailFrom: a\r\n\r\nm",
       400},
      {"file request with a message", file_path, file + s.put("m", "x") + "\r\n\r\nm", 400},
      {"missing file", file_path, file + (s.dir / "none").string() + "\r\n\r\n", 500},
      {"directory", file_path, file + s.dir.string() + "\r\n\r\n", 500},
  };
  sim d;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = d.post(c.path, c.body);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status);
    EXPECT_FALSE(r->body.starts_with("X-ZELM-") || r->body.find("\nX-ZELM-") != r->body.npos)
        << r->body;
  }
}

TEST(ZelmdSim, AnswersFromFileVerbatim) {
  scratch s;
  const std::string answer = s.put("answer", "X-ZELM-Spam: Bulk\n\0\xff no CR at the end"s);
  sim d({"--answer", answer});
  for (const auto &path : {inline_path, file_path, "/elsewhere"s}) {
    const auto r = d.post(path, "junk");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, slurp(answer));
  }
  s.put("answer", "changed\r\n"); // read again for every request
  const auto r = d.post(inline_path, "");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "changed\r\n");
}

TEST(ZelmdSim, RecordsEachRequest) {
  scratch s;
  const fs::path dir = s.dir / "made" / "on start";
  sim d({"--record", dir});
  const std::pair<std::string, std::string> sent[] = {
      {inline_path, head("") + "\r\nbody\0with NUL\r\n"s + std::string(300000, 'z')},
      {"/unknown", "no empty line"}};
  for (const auto &[path, body] : sent) ASSERT_TRUE(d.post(path, body));
  for (int n = 1; const auto &[path, body] : sent) {
    const std::string base = dir / std::to_string(n++);
    EXPECT_EQ(slurp(base + ".body"), body);
    std::istringstream h(slurp(base + ".head"));
    std::set<std::string> got;
    for (std::string l; std::getline(h, l);) got.insert(l);
    for (const auto &want : {"POST " + path + " HTTP/1.1", "Content-Type: text/plain"s,
                             "Content-Length: " + std::to_string(body.size())})
      EXPECT_TRUE(got.contains(want)) << want;
    for (const auto &l : got)
      EXPECT_FALSE(l.starts_with("REMOTE_") || l.starts_with("LOCAL_")) << l;
  }
}

TEST(ZelmdSim, CommandLine) {
  sim busy;
  struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {{{"--help"}, 0}, {{"--port", std::to_string(busy.port)}, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.back());
    child run(c.args);
    const std::string out = run.read(true);
    EXPECT_EQ(run.wait(), c.code);
    EXPECT_EQ(out.starts_with("usage: zelmd-sim"), c.code == 0) << out;
  }
  EXPECT_EQ(busy.wait(SIGINT), 0);
}

} // namespace
