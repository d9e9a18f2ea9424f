// Many filters at once against one zelmd-sim: every message must reach its
// own queue program whole, stamped with the verdict of its own request, and
// no run may leave anything in the spool area. The same behind HAProxy with
// two zelmd-sims, one of which stops while the filters use it.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "classify_support.h"
#include "fd.h"
#include "syslog_catcher.h"
#include "zelmd_sim.h"

namespace fs = std::filesystem;

namespace {

const std::string gtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";
const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct load_message {
  std::string text;
  size_t header_len;
  std::string spam, vod; // the verdict its own content calls for
};

// Message i: a token of its own in header and body, every third one
// spooled, some carrying the test strings, so that a verdict or a body that
// went to the wrong filter shows.
load_message make(int i) {
  const std::string token = "token-" + std::to_string(i) + "-end";
  load_message m;
  m.text = "Subject: load " + std::to_string(i) + "\nX-Token: " + token + "\n\n";
  m.header_len = m.text.size() - 1;
  const bool spam = i % 5 == 1, virus = i % 7 == 2;
  m.spam = spam ? "Confirmed" : "None";
  m.vod = virus ? "Virus" : "Clean";
  if (spam) m.text += gtube + "\n";
  if (virus) m.text += eicar + "\n";
  const size_t n = static_cast<size_t>(i);
  const size_t size = i % 3 == 0 ? 32000 + n * 211 : 300 + n;
  while (m.text.size() < size) m.text += token + " " + std::to_string(m.text.size()) + "\n";
  return m;
}

std::string refid_of(const std::string &msg) {
  const std::string name = "\nX-ZELM-RefID: ";
  const size_t at = msg.find(name);
  if (at == std::string::npos) return "";
  const size_t from = at + name.size();
  return msg.substr(from, msg.find('\n', from) - from);
}

// Four descriptors per filter on the harness's side.
void more_files() {
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

// count filters side by side, each with a message of its own (make) in a
// home of its own, classifying inbound mail with the daemon at port.
struct load_batch {
  std::vector<std::unique_ptr<qmail_home>> homes;
  std::vector<const qmail_home *> at;
  std::vector<filter_run> runs;
  std::vector<load_message> msgs;

  load_batch(int count, int port) {
    for (int i = 0; i < count; ++i) {
      msgs.push_back(make(i));
      homes.push_back(std::make_unique<qmail_home>());
      const qmail_home &h = *homes.back();
      at.push_back(&h);
      // Half the spooled messages go to the daemon by path: it reads the
      // spool file while the filter waits.
      const bool by_path = i % 6 == 0;
      point_at(h, port, by_path ? "localhost" : "127.0.0.1");
      h.control("zelmd_check_inbound", "1\n");
      h.control("zelmd_require_scan", "1\n"); // a failed request shows as 71
      h.control("zelmd_timeout", "30\n");
      const std::string n = std::to_string(i);
      runs.push_back({.message = msgs.back().text,
                      .envelope = envelope({"Fs" + n + "@x", "Tr" + n + "@y"}),
                      .env = {"TCPREMOTEIP=" + ip(i)},
                      .deadline_seconds = 60});
    }
  }

  static std::string ip(int i) { return "192.0.2." + std::to_string(i % 250 + 1); }

  // Message i reached its queue program whole, stamped with the verdict
  // of its own request, or, where that may be, was refused with 71 and
  // handed on nowhere; and left nothing in the spool area. Its RefID, or
  // "" when refused.
  std::string check(int i, const filter_result &r, bool may_refuse) const {
    SCOPED_TRACE(testing::Message() << "message " << i);
    const qmail_home &h = *homes[static_cast<size_t>(i)];
    const load_message &m = msgs[static_cast<size_t>(i)];
    EXPECT_FALSE(fs::exists(r.workdir));
    const auto got = h.record("message");
    if (may_refuse && r.code == 71) {
      EXPECT_FALSE(got) << "refused, yet handed on";
      return "";
    }
    EXPECT_EQ(r.code, 0) << r;
    if (!got) {
      ADD_FAILURE() << "nothing handed on";
      return "";
    }
    const std::string refid = refid_of(*got);
    EXPECT_FALSE(refid.empty()) << "passed unscanned";
    EXPECT_TRUE(same_bytes(
        got, stamped(m.text, m.header_len, verdict_stamp("0000001", m.spam, m.vod, refid))));
    const std::string n = std::to_string(i);
    EXPECT_EQ(h.record("envelope"), queue_envelope("s" + n + "@x", {"r" + n + "@y"}));
    return refid;
  }
};

TEST(Load, ConcurrentFiltersKeepTheirMessagesApart) {
  constexpr int count = 200;
  more_files();
  zelmd_sim sim(zelmd_sim::answers::classified);
  ASSERT_GT(sim.port(), 0);
  load_batch batch(count, sim.port());
  const auto results = run_filters(batch.at, batch.runs);
  std::set<std::string> refids;
  for (int i = 0; i < count; ++i) refids.insert(batch.check(i, results[size_t(i)], false));
  EXPECT_EQ(refids.size(), size_t{count}) << "RefIDs shared between messages";
}

// Debian's haproxy, or "" where it is not installed.
std::string haproxy_binary() {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin");
  for (std::string d; std::getline(dirs, d, ':');)
    if (!d.empty() && access((d + "/haproxy").c_str(), X_OK) == 0) return d + "/haproxy";
  return "";
}

// HAProxy with the example configuration, in front of the daemons on two
// loopback ports as servers zelmd1 and zelmd2. It listens on a socket of
// ours, so that its port is free and taken before it runs, and has its
// admin socket in a scratch directory.
class haproxy {
public:
  using stat_line = std::map<std::string, std::string>;

  haproxy(const std::string &bin, int port1, int port2) {
    fs::create_directories(ZELMD_SCRATCH);
    std::string t = ZELMD_SCRATCH "/haproxy-XXXXXX";
    if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = t;
    std::ofstream(dir_ / "global.cfg")
        << "global\n    stats socket " << (dir_ / "admin.sock").string()
        << " mode 600 level admin\n";
    fd_owner l(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!l.ok() || bind(l.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(l.get(), SOMAXCONN) != 0 ||
        getsockname(l.get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
      throw std::runtime_error("no listening socket");
    port_ = ntohs(a.sin_port);

    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("ZELMD_PROXY=fd@3");
    env.push_back("ZELMD1=127.0.0.1:" + std::to_string(port1));
    env.push_back("ZELMD2=127.0.0.1:" + std::to_string(port2));
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {
        bin, "-db", "-f", (dir_ / "global.cfg").string(), "-f", ZELMD_EXAMPLES "/haproxy.cfg"};
    std::vector<char *> argv;
    for (auto &s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string log = (dir_ / "log").string();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives a crashed test
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (out < 0 || null < 0 || dup2(null, 0) != 0 || dup2(out, 1) != 1 || dup2(out, 2) != 2)
        _exit(127);
      // dup2 onto itself would leave it close-on-exec.
      if (l.get() == 3 ? fcntl(3, F_SETFD, 0) != 0 : dup2(l.get(), 3) != 3) _exit(127);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }

  ~haproxy() {
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  haproxy(const haproxy &) = delete;
  haproxy &operator=(const haproxy &) = delete;

  int port() const { return port_; }

  // What it said on its standard output and error.
  std::string log() const {
    std::ifstream f(dir_ / "log");
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }

  // The server's line of "show stat", column by column; empty when
  // haproxy does not answer (yet).
  stat_line stat(const std::string &server) const {
    fd_owner s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = (dir_ / "admin.sock").string();
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    const char cmd[] = "show stat\n";
    if (!s.ok() || connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        write(s.get(), cmd, sizeof cmd - 1) != sizeof cmd - 1)
      return {};
    std::string text;
    char buf[8192];
    for (ssize_t n; (n = read(s.get(), buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    std::istringstream lines(text);
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("# ")) line.erase(0, 2);
      std::vector<std::string> f;
      std::istringstream cols(line);
      for (std::string c; std::getline(cols, c, ',');) f.push_back(c);
      if (names.empty()) {
        names = f;
      } else if (f.size() >= 2 && f[0] == "zelmd" && f[1] == server) {
        stat_line got;
        for (size_t i = 0; i < f.size() && i < names.size(); ++i) got[names[i]] = f[i];
        return got;
      }
    }
    return {};
  }

  // Asks until the server's line satisfies ok, for at most seconds; there
  // is nothing to wait on but the answers.
  bool wait(const std::string &server, const std::function<bool(stat_line &)> &ok,
            int seconds) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      stat_line s = stat(server);
      if (!s.empty() && ok(s)) return true;
      if (std::chrono::steady_clock::now() > end || !running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

private:
  fs::path dir_;
  pid_t pid_ = -1;

  // Left for the destructor to reap.
  bool running() const {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  int port_ = 0;
};

long number(haproxy::stat_line &s, const std::string &column) {
  return std::strtol(s[column].c_str(), nullptr, 10);
}

// Two zelmd-sims behind HAProxy as the example configures it. One stops
// while 200 filters use them: with zelmd_require_scan 1 a message may be
// refused with 71, but none passes unscanned, none is lost and none leaves
// its spool file behind; once HAProxy has marked it down, every message is
// classified. With both stopped, HAProxy's 503 refuses every message or,
// with zelmd_require_scan 0, passes it on unscanned, with its reason line.
TEST(Load, HaproxyFailsOverToTheDaemonLeft) {
  const std::string bin = haproxy_binary();
  if (bin.empty())
    GTEST_SKIP() << "haproxy is not installed (apt-get install haproxy; tools/test.sh "
                    "tries to): HAProxy in front of the daemons not tested";
  more_files();
  zelmd_sim a(zelmd_sim::answers::classified), b(zelmd_sim::answers::classified);
  ASSERT_GT(a.port(), 0);
  ASSERT_GT(b.port(), 0);
  haproxy proxy(bin, a.port(), b.port());
  const auto checked = [](haproxy::stat_line &s) {
    return s["status"] == "UP" && s["check_status"] == "L7OK";
  };
  const auto down = [](haproxy::stat_line &s) { return s["status"] == "DOWN"; };
  ASSERT_TRUE(proxy.wait("zelmd1", checked, 10) && proxy.wait("zelmd2", checked, 10))
      << "the daemons did not pass HAProxy's check:\n"
      << proxy.log();

  constexpr int count = 200;
  std::set<std::string> refids;
  size_t classified = 0;
  {
    load_batch batch(count, proxy.port());
    // Part-way: once the first daemon has had some of the requests.
    std::jthread stopper([&] {
      proxy.wait(
          "zelmd1", [](haproxy::stat_line &s) { return number(s, "stot") >= 10; }, 30);
      a.stop();
    });
    const auto results = run_filters(batch.at, batch.runs);
    stopper.join();
    for (int i = 0; i < count; ++i) {
      const std::string refid = batch.check(i, results[size_t(i)], true);
      if (!refid.empty()) refids.insert(refid);
      classified += !refid.empty();
    }
    auto s = proxy.stat("zelmd1");
    EXPECT_GT(number(s, "wredis") + long(count - classified), 0)
        << "the daemon stopped after the filters had ended";
    std::cout << classified << " of " << count << " classified while zelmd1 stopped, "
              << number(s, "wredis") << " requests sent on to zelmd2\n";
  }
  ASSERT_TRUE(proxy.wait("zelmd1", down, 10)) << proxy.log();
  {
    auto before = proxy.stat("zelmd1");
    load_batch batch(count, proxy.port());
    const auto results = run_filters(batch.at, batch.runs);
    for (int i = 0; i < count; ++i) {
      const std::string refid = batch.check(i, results[size_t(i)], false);
      if (!refid.empty()) refids.insert(refid);
      classified += !refid.empty();
    }
    auto after = proxy.stat("zelmd1");
    EXPECT_EQ(number(after, "stot"), number(before, "stot")) << "sent to the daemon marked down";
  }
  EXPECT_EQ(refids.size(), classified) << "RefIDs shared between messages";

  b.stop();
  ASSERT_TRUE(proxy.wait("zelmd2", down, 10)) << proxy.log();
  constexpr int few = 40;
  load_batch batch(few, proxy.port());
  for (int i = 0; i < few; i += 2) batch.homes[size_t(i)]->control("zelmd_require_scan", "0\n");
  const auto got = run_caught(batch.at, batch.runs);
  for (int i = 0; i < few; ++i) {
    SCOPED_TRACE(testing::Message() << "message " << i);
    const caught &c = got[size_t(i)];
    const bool required = i % 2;
    EXPECT_EQ(c.run.code, required ? 71 : 0) << c.run;
    EXPECT_FALSE(fs::exists(c.run.workdir));
    const auto handed = batch.homes[size_t(i)]->record("message");
    if (required)
      EXPECT_FALSE(handed);
    else
      EXPECT_TRUE(same_bytes(handed, batch.msgs[size_t(i)].text));
    // Which address answered may follow the host and port.
    NEED_LOG(c);
    ASSERT_EQ(c.log.size(), 1u);
    const auto line = parse_syslog(c.log[0]);
    ASSERT_TRUE(line) << c.log[0];
    const std::string start = "IP: " + load_batch::ip(i) + " - daemon " +
                              (i % 6 ? "127.0.0.1" : "localhost") + ":" +
                              std::to_string(proxy.port());
    const std::string end =
        std::string(": status 503 (") + (required ? "exit 71)" : "passed unscanned)");
    EXPECT_TRUE(line->text.starts_with(start) && line->text.ends_with(end)) << line->text;
  }
}

} // namespace
