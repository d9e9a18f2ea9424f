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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <latch>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// Runs zelmd-sim with its standard output, and when asked its standard
// error, on a pipe; it dies with the test.
struct child {
  pid_t pid = -1;
  int out = -1;

  explicit child(const std::vector<std::string> &args, bool with_errors = false) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      // As root it could open any file; under a user of its own it cannot.
      prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE);
      prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH);
      dup2(p[1], 1);
      if (with_errors) dup2(p[1], 2);
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

// With its log on the pipe too, read() past the line it starts with
// gives the lines of the requests.
struct sim : child {
  int port = 0;
  explicit sim(const std::vector<std::string> &args = {}, bool with_log = false)
      : child(on_free_port(args), with_log) {
    std::string line = read();
    if (with_log && line.starts_with("zelmd-sim: a stand-in")) line = read();
    const std::string want = "zelmd-sim listening on 127.0.0.1:";
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
  sim d({"--spool-dir", s.dir});
  std::set<std::string> refids;
  for (const auto &c : cases) {
    for (bool file : {false, true}) {
      SCOPED_TRACE(c.name + (file ? " from file"s : " inline"s));
      const std::string name = file ? "X-ZELM-FileName: " + s.put("m", c.message) + "\r\n" : "";
      const auto r =
          d.post(file ? file_path : inline_path, head() + name + "\r\n" + (file ? "" : c.message));
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
    const std::vector<std::string> row{value(""),
                                       value("-Flags"),
                                       value("-TotalMessages"),
                                       value("-TotalSpam"),
                                       value("-TotalSuspected"),
                                       value("-TotalVirus"),
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
    httplib::Headers fields = {};
  } cases[] = {
      {"unknown path", "/zelmd/Classify", head() + "\r\nm", 404},
      {"CR LF in the path", "/zelmd/%0D%0AX-ZELM-Spam:%20Confirmed", head() + "\r\nm", 404},
      {"a request line over 8192 bytes", "/" + std::string(8200, 'p'), head() + "\r\nm", 414},
      {"a Range it cannot parse", inline_path, head() + "\r\nm", 416, {{"Range", "lines=2"}}},
      {"no empty line", inline_path, head() + "m", 400},
      {"bare line feeds", inline_path, "X-ZELM-PVer: 0000001\nX-ZELM-MailFrom: a\n\nm", 400},
      // not echoed: the answer would carry a line the filter takes for a verdict
      {"line feed inside a line", inline_path, "X-ZELM-PVer: 1\nX-ZELM-Spam: Confirmed\r\n\r\n",
       400},
      {"no client address", inline_path, "X-ZELM-PVer: 0000001\r\nX-ZELM-MailFrom: a\r\n\r\nm",
       400},
      {"file request with a message", file_path, file + s.put("m", "x") + "\r\n\r\nm", 400},
  };
  sim d({"--spool-dir", s.dir});
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r =
        httplib::Client("127.0.0.1", d.port).Post(c.path, c.fields, c.body, "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status);
    EXPECT_FALSE(r->body.starts_with("X-ZELM-") || r->body.find("\nX-ZELM-") != r->body.npos)
        << r->body;
    // one line with the reason, from the library too
    EXPECT_TRUE(r->body.size() > 2 && r->body.find('\n') == r->body.size() - 1 &&
                r->body.ends_with("\r\n"))
        << r->body;
  }
}

// The next line on fd, or what came of it before nothing more did for 5
// seconds.
std::string line_of(int fd) {
  std::string line;
  for (char c;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1 || ::read(fd, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
}

// Whatever a request holds, its log line is one line, control bytes shown
// as '?', so that the next request's line comes next.
TEST(ZelmdSim, LogsOneSafeLinePerRequest) {
  struct {
    const char *name;
    std::string path, from, says;
  } cases[] = {
      {"CR and ESC in the sender", inline_path, "a\rzelmd-sim: #9 forged\x1b[2J",
       " from <a?zelmd-sim: #9 forged?[2J>: 200 "},
      {"NUL and DEL in the sender", inline_path, "a\0b\x7f"s, " from <a?b?>: 200 "},
      // refused before it is taken for the sender
      {"LF in the sender", inline_path, "a\nzelmd-sim: #9 forged", " from <>: 400 no colon"},
      {"CR LF in the path", "/zelmd/%0D%0Azelmd-sim:%20forged%1B", "a",
       " /zelmd/??zelmd-sim: forged? from <a>: 404 unknown path /zelmd/??zelmd-sim: forged?"},
  };
  sim d({}, true);
  for (int n = 1; const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(d.post(c.path, "X-ZELM-PVer: 0000001\r\nX-ZELM-MailFrom: " + c.from +
                                   "\r\nX-ZELM-SenderIP: 192.0.2.1\r\n\r\nm"));
    const std::string line = line_of(d.out);
    EXPECT_TRUE(line.starts_with("zelmd-sim: #" + std::to_string(n++) + " ")) << line;
    EXPECT_NE(line.find(c.says), line.npos) << line;
    EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](unsigned char b) {
      return b < 0x20 || b == 0x7f;
    })) << line;
  }
}

// A file request reads only what the filter spooled, whatever path it
// names; each refusal says why in its one line.
TEST(ZelmdSim, ServesOnlySpoolFiles) {
  scratch s;
  const fs::path spool = s.dir / "spool", work = spool / "4711";
  fs::create_directories(work);
  fs::create_directories(s.dir / "second" / "1");
  fs::create_directories(s.dir / "spool-not");
  const std::string msg = "Subject: x\n\n" + gtube + "\n";
  s.put("spool/4711/1.msg", msg);
  s.put("second/1/1.msg", msg);
  s.put("outside", msg);
  s.put("spool-not/1.msg", msg);
  s.put("spool/4711/big.msg", std::string(1001, 'b'));
  s.put("spool/4711/linked.msg", msg);
  s.put("spool/4711/foreign.msg", msg);
  ASSERT_EQ(chown((work / "foreign.msg").c_str(), 65534, 65534), 0);
  fs::create_hard_link(work / "linked.msg", s.dir / "other-name");
  fs::create_symlink(s.dir / "outside", work / "out.msg");
  fs::create_symlink(s.dir, spool / "up");
  fs::create_symlink(spool, s.dir / "spool-link");
  ASSERT_EQ(mkfifo((work / "fifo.msg").c_str(), 0644), 0);
  ASSERT_EQ(mknod((work / "zero.msg").c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
  s.put("spool/4711/secret.msg", msg);
  fs::permissions(work / "secret.msg", fs::perms::none);
  fs::create_directories(spool / "shut");
  s.put("spool/shut/1.msg", msg);
  fs::permissions(spool / "shut", fs::perms::none);
  struct {
    const char *name;
    std::string path;
    int status;
    std::string why;
  } cases[] = {
      {"as the filter names it", spool.string() + "/4711//1.msg", 200, ""},
      {"in the second directory", s.dir / "second/1/1.msg", 200, ""},
      {"outside", s.dir / "outside", 403, "outside the spool directories"},
      {"a system file", "/etc/shadow", 403, "outside the spool directories"},
      {"a name that only starts alike", s.dir / "spool-not/1.msg", 403, "outside the spool"},
      {"relative", "spool/4711/1.msg", 403, "not an absolute path"},
      {"up and out", spool.string() + "/4711/../../outside", 403, "\"..\" in the path"},
      {"up and back in", spool.string() + "/4711/../4711/1.msg", 403, "\"..\" in the path"},
      {"a link inside pointing out", work / "out.msg", 403, "a symbolic link"},
      {"a linked directory inside", spool / "up/outside", 403, "up is a symbolic link"},
      {"the spool directory a link", s.dir / "spool-link/4711/1.msg", 403, "is a symbolic link"},
      {"another hard link", work / "linked.msg", 403, "has other hard links"},
      {"another owner", work / "foreign.msg", 403, "not owned by the spool directory's owner"},
      {"a FIFO", work / "fifo.msg", 403, "not a regular file"},
      {"a device inside", work / "zero.msg", 403, "not a regular file"},
      {"a device outside", "/dev/zero", 403, "outside the spool directories"},
      {"a directory", work, 403, "not a regular file"},
      {"a file it may not open", work / "secret.msg", 403, "Permission denied"},
      {"below a directory it may not enter", spool / "shut/1.msg", 403, "Permission denied"},
      {"missing", work / "none.msg", 404, "No such file"},
      {"a missing directory", spool / "4712/1.msg", 404, "no 4712"},
      {"too large", work / "big.msg", 413, "1001 bytes, over the limit of 1000"},
  };
  sim d({"--spool-dir", spool.string() + "/", "--spool-dir", s.dir / "second", "--spool-dir",
         s.dir / "spool-link", "--max-size", "1000"});
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = d.post(file_path, head() + "X-ZELM-FileName: " + c.path + "\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    if (c.status == 200) {
      EXPECT_EQ(lines(r->body)["X-ZELM-Spam"], "Confirmed");
      continue;
    }
    EXPECT_TRUE(r->body.starts_with("file " + c.path + ": ")) << r->body;
    EXPECT_NE(r->body.find(c.why), r->body.npos) << r->body;
    EXPECT_TRUE(r->body.ends_with("\r\n") && r->body.find('\n') == r->body.size() - 1) << r->body;
  }
}

// A raw connection to the sim at port from a loopback address of choice:
// the sim tells clients apart by address.
int connect_from(const std::string &from, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  EXPECT_EQ(inet_pton(AF_INET, from.c_str(), &a.sin_addr), 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << from;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  return fd;
}

// What the sim answers on fd until it closes; "" if it has not in time.
std::string answer_of(int fd, std::chrono::seconds within = std::chrono::seconds(20)) {
  const auto give_up = std::chrono::steady_clock::now() + within;
  std::string got;
  for (char buf[4096];;) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return "";
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

// The reason line of a 503 answer, or what came instead.
std::string reason_503(const std::string &answer) {
  const size_t body = answer.find("\r\n\r\n");
  if (!answer.starts_with("HTTP/1.1 503 ") || body == answer.npos) return "not a 503: " + answer;
  return answer.substr(body + 4);
}

// Raw connections that sent a request's head and part of its body, then
// fell silent.
std::vector<int> stall(int port, int count) {
  std::vector<int> socks;
  for (int i = 0; i < count; ++i) {
    const int fd = connect_from("127.0.0.1", port);
    const std::string part =
        "POST " + inline_path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n" + head();
    EXPECT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    socks.push_back(fd);
  }
  return socks;
}

using seconds = std::chrono::duration<double>;

TEST(ZelmdSim, BusyWorkersComeFree) {
  scratch s;
  ASSERT_EQ(mkfifo((s.dir / "fifo").c_str(), 0644), 0);
  sim d({"--spool-dir", s.dir});
  // More requests for a FIFO that no one writes than there are workers:
  // each is refused at once.
  std::vector<std::thread> fifo;
  std::atomic<int> refused = 0;
  for (int i = 0; i < 24; ++i)
    fifo.emplace_back([&] {
      const auto r =
          d.post(file_path, head() + "X-ZELM-FileName: " + (s.dir / "fifo").string() + "\r\n\r\n");
      refused += r && r->status == 403;
    });
  const auto r = d.post(inline_path, head() + "\r\nhello");
  for (auto &t : fifo) t.join();
  EXPECT_EQ(refused, 24);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);

  // Clients silent in the middle of the body: the first four are slow
  // ones their address may have, until nothing came for 5 seconds; the
  // others are cut off at once. A request behind them is answered.
  const auto silent = stall(d.port, 12);
  const auto start = std::chrono::steady_clock::now();
  httplib::Client c("127.0.0.1", d.port);
  c.set_read_timeout(20);
  const auto late = c.Post(inline_path, head() + "\r\nhello", "text/plain");
  ASSERT_TRUE(late);
  EXPECT_EQ(late->status, 200);
  EXPECT_LT(seconds(std::chrono::steady_clock::now() - start).count(), 9);
  std::map<std::string, int> why;
  for (const int fd : silent) {
    ++why[reason_503(answer_of(fd))];
    close(fd);
  }
  const decltype(why) want{{"nothing received for 5 seconds\r\n", 4},
                           {"too many slow connections from 127.0.0.1\r\n", 8}};
  EXPECT_EQ(why, want);
}

struct address_group {
  std::string from;
  int clients;
};

// count addresses from 127.0.0.1 on, with clients each
std::vector<address_group> addresses(int count, int clients) {
  std::vector<address_group> g;
  for (int i = 1; i <= count; ++i) g.push_back({"127.0.0." + std::to_string(i), clients});
  return g;
}

// Clients that send a request head a byte every half second, more of them
// than there are workers: only half the workers, four of them for one
// address at most, stay held until the head's 5 seconds are up, and a
// request from any of the addresses is answered meanwhile.
void slow_clients_hold_no_workers(const std::vector<address_group> &groups) {
  sim d;
  struct slow {
    int fd;
    std::string got;
  };
  std::vector<slow> clients;
  for (const auto &g : groups)
    for (int i = 0; i < g.clients; ++i) clients.push_back({connect_from(g.from, d.port), ""});
  const std::string bytes =
      "POST " + inline_path + " HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(200, 'p');
  std::latch slow_by_now(1);
  std::thread trickle([&] {
    using clock = std::chrono::steady_clock;
    const auto give_up = clock::now() + std::chrono::seconds(20);
    size_t sent = 0, open = clients.size();
    for (auto next = clock::now(); open && clock::now() < give_up;) {
      if (clock::now() >= next) {
        for (const auto &c : clients)
          if (c.fd >= 0) send(c.fd, &bytes.at(sent), 1, MSG_NOSIGNAL);
        if (++sent == 4) slow_by_now.count_down();
        next += std::chrono::milliseconds(500);
      }
      std::vector<pollfd> fds; // those answered are -1, which poll passes over
      for (const auto &c : clients) fds.push_back({c.fd, POLLIN, 0});
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - clock::now());
      poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(0, left.count())));
      for (size_t i = 0; i < clients.size(); ++i) {
        if (!fds[i].revents) continue;
        clients[i].got = answer_of(clients[i].fd);
        close(std::exchange(clients[i].fd, -1));
        --open;
      }
    }
    if (sent < 4) slow_by_now.count_down();
  });
  slow_by_now.wait();
  for (const auto &g : groups) {
    SCOPED_TRACE("a request from " + g.from);
    const std::string body = head() + "\r\nhello",
                      request = "POST " + inline_path + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    const int fd = connect_from(g.from, d.port);
    EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    // within 2 s: slow ones held every worker for up to 135 s once, and
    // from five addresses for 15 s
    const std::string got = answer_of(fd, std::chrono::seconds(2));
    close(fd);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 200 ") && got.find("X-ZELM-Spam: None") != got.npos)
        << got;
  }
  trickle.join();
  // Whose share was full when one was cut off depends on the order they
  // turned slow in.
  const std::string too_many = "too many slow connections";
  std::map<std::string, int> why;
  for (auto &c : clients) {
    if (c.fd >= 0) close(c.fd);
    const std::string reason = reason_503(c.got);
    ++why[reason.starts_with(too_many) ? too_many : reason];
  }
  const int held = 8;
  const decltype(why) want{
      {"request line and header fields not received within 5 seconds\r\n", held},
      {too_many, static_cast<int>(clients.size()) - held}};
  EXPECT_EQ(why, want);
}

TEST(ZelmdSim, SlowClientsHoldNoWorkers) {
  const struct {
    const char *name;
    std::vector<address_group> groups;
  } attacks[] = {
      {"two addresses over their share", {{"127.0.0.1", 10}, {"127.0.0.2", 10}}},
      {"five addresses within theirs", addresses(5, 4)},
      {"ten addresses within theirs", addresses(10, 4)},
  };
  for (const auto &a : attacks) {
    SCOPED_TRACE(a.name);
    slow_clients_hold_no_workers(a.groups);
  }
}

TEST(ZelmdSim, StopsWithinASecondWithRequestsInFlight) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    sim d;
    const auto silent = stall(d.port, 12);
    usleep(200000); // into the handlers
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d.wait(sig), 0);
    EXPECT_LT(seconds(std::chrono::steady_clock::now() - start).count(), 1.0);
    for (const int fd : silent) close(fd);
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
  // a Range would cut it short
  const auto part = httplib::Client("127.0.0.1", d.port)
                        .Post(inline_path, {{"Range", "bytes=0-3"}}, "junk", "text/plain");
  ASSERT_TRUE(part);
  EXPECT_EQ(part->body, slurp(answer));
  s.put("answer", "changed\r\n"); // read again for every request
  const auto r = d.post(inline_path, "");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "changed\r\n");
}

mode_t mode_of(const fs::path &p) {
  struct stat st {};
  EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Kept mail is the operator's alone, whatever umask it starts with: one
// that lets everyone read, and one that would not let it write.
TEST(ZelmdSim, RecordsEachRequest) {
  for (const mode_t mask : {mode_t{0}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    scratch s;
    const fs::path dir = s.dir / "made" / "on start";
    const mode_t was = umask(mask);
    sim d({"--record", dir});
    umask(was);
    const std::pair<std::string, std::string> sent[] = {
        {inline_path, head("") + "\r\nbody\0with NUL\r\n"s + std::string(300000, 'z')},
        {"/unknown", "no empty line"}};
    for (const auto &[path, body] : sent) ASSERT_TRUE(d.post(path, body));
    EXPECT_EQ(mode_of(s.dir / "made"), 0700);
    EXPECT_EQ(mode_of(dir), 0700);
    for (int n = 1; const auto &[path, body] : sent) {
      const std::string base = dir / std::to_string(n++);
      EXPECT_EQ(slurp(base + ".body"), body);
      EXPECT_EQ(mode_of(base + ".body"), 0600);
      EXPECT_EQ(mode_of(base + ".head"), 0600);
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
}

TEST(ZelmdSim, CommandLine) {
  scratch s;
  const std::string fifo = s.dir / "fifo", file = s.put("file", "x");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  sim busy;
  const std::string hint = "usage: zelmd-sim [OPTION]...; zelmd-sim --help lists them\n";
  struct {
    std::vector<std::string> args;
    int code;
    std::string says; // in standard output and error
  } cases[] = {
      {{"--help"}, 0, "usage: zelmd-sim [OPTION]...\nStands in"},
      {{"--version"}, 0, "zelmd-sim " ZELMD_VERSION "\n"},
      {{"--port", std::to_string(busy.port)}, 1, "cannot listen"},
      {{"--bogus"}, 2, "unrecognized option '--bogus'\n" + hint},
      {{"--port"}, 2, "requires an argument\n" + hint},
      {{"stray"}, 2, "unexpected argument stray\n" + hint},
      {{"--answer", s.dir / "none"}, 2, "--answer " + (s.dir / "none").string() + ": No such file"},
      {{"--answer", s.dir}, 2, "--answer " + s.dir.string() + ": not a regular file"},
      {{"--answer", fifo}, 2, "--answer " + fifo + ": not a regular file"},
      {{"--record", file}, 2, "--record " + file + ": "},
      {{"--record", file + "/sub"}, 2, "--record " + file + "/sub: "},
      {{"--spool-dir", "tmp/qmail-zelmd"}, 2, "not an absolute path"},
      {{"--spool-dir", "/"}, 2, "would be every file"},
      {{"--max-size", "0"}, 2, "--max-size wants bytes"},
      {{"--max-size", "1T"}, 2, "--max-size wants bytes"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.back());
    child run(c.args, true);
    const std::string out = run.read(true);
    EXPECT_EQ(run.wait(), c.code);
    EXPECT_NE(out.find(c.says), out.npos) << out;
    if (c.code == 2) {
      EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 2) << out;
    }
  }
  EXPECT_EQ(busy.wait(SIGINT), 0);

  // Said on start, before it listens, where the log gets it.
  child run(on_free_port({"--spool-dir", "/a/", "--spool-dir", "/b//c", "--max-size", "2K"}), true);
  EXPECT_EQ(run.read(), "zelmd-sim: a stand-in for zelmd that knows only the GTUBE and EICAR test "
                        "strings and finds all other mail clean; files from /a, /b/c, up to 2048 "
                        "bytes");
  EXPECT_TRUE(run.read().starts_with("zelmd-sim listening on 127.0.0.1:"));
  EXPECT_EQ(run.wait(SIGTERM), 0);
}

} // namespace
