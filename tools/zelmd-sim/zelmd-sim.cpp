// zelmd-sim: a stand-in for the classification daemon zelmd, for the demo,
// the tests and for trying an installation without the real daemon.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

namespace {

const char usage[] = R"(usage: zelmd-sim [OPTION]...
Stands in for the classification daemon zelmd: answers the POSTs of
qmail-zelmd with X-ZELM-* lines.

  --listen ADDR          address to listen on (default 127.0.0.1)
  --port N               port (default 8088; 0 picks a free one)
  --answer FILE          answer every POST, whatever it holds, with status 200
                         and FILE's bytes as the body; FILE is read anew for
                         each request, so it may be changed while running
  --record DIR           keep request number N (from 1) as DIR/N.head (request
                         line, then one "Name: value" line per header field)
                         and DIR/N.body (the body byte for byte)
  --bluewhite ID=N       blue/white flag N for sender identity ID (repeatable)
  --help                 this text

Once listening it prints "zelmd-sim listening on ADDR:PORT" on standard
output; one line per request goes to standard error. SIGTERM or SIGINT
stops it.

Requests: POST /zelmd/ClassifyMessage_Inline, body = header lines, an empty
line, the message; POST /zelmd/ClassifyMessage_File, body = header lines
with X-ZELM-FileName, an empty line, nothing more: the message is read from
that file. Header lines end in CR LF; X-ZELM-PVer (0000001),
X-ZELM-MailFrom and X-ZELM-SenderIP are required; X-ZELM-SenderID, even
empty, makes the request outbound.

Answers (status 200, "Name: value" lines ended by CR LF):
  X-ZELM-PVer    0000001
  X-ZELM-Spam    Confirmed when the message holds the GTUBE string, else None
  X-ZELM-VOD     Virus when it holds the EICAR string, plain or as the
                 start of a base64 attachment, else Clean
  X-ZELM-Flags   0
  X-ZELM-RefID   unique: start time, process id, request number
Outbound requests also get, counted per sender identity since start and
including this message:
  X-ZELM-SenderID                 the identity as sent
  X-ZELM-SenderID-Flags           2 once the sender has sent spam or a virus,
                                  else 0
  X-ZELM-SenderID-TotalMessages   messages
  X-ZELM-SenderID-TotalSpam       messages classed Confirmed
  X-ZELM-SenderID-TotalSuspected  0: nothing is classed Bulk or High here
  X-ZELM-SenderID-TotalVirus      messages classed Virus
  X-ZELM-SenderID-BlueWhiteFlag   from --bluewhite, else 0
The test strings count anywhere in the message bytes, headers included.

Errors: other paths 404; 400 for a body without the empty line, a header
line without a colon or with a bare line feed, a missing or wrong required
line, or a file request with bytes after the empty line; 500 for a file
that cannot be read. Error bodies are one plain line, no X-ZELM-* lines.
)";

constexpr std::string_view inline_path = "/zelmd/ClassifyMessage_Inline";
constexpr std::string_view file_path = "/zelmd/ClassifyMessage_File";

constexpr std::string_view gtube =
    "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";
constexpr std::string_view eicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
// eicar.com mailed as an attachment: base64 of its first 33 bytes, which
// starts the encoded part whatever the line length.
constexpr std::string_view eicar_base64 = "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FS";

// Finds the test strings in a message that arrives in pieces of any size.
class scanner {
public:
  bool spam = false, virus = false;

  void feed(std::string_view piece) {
    window_.append(piece);
    const std::string_view w = window_;
    spam = spam || w.find(gtube) != w.npos;
    virus = virus || w.find(eicar) != w.npos || w.find(eicar_base64) != w.npos;
    // A string split over two pieces is whole in this tail plus the next.
    const size_t keep = std::max(gtube.size(), eicar.size()) - 1;
    if (window_.size() > keep) window_.erase(0, window_.size() - keep);
  }

private:
  std::string window_;
};

// Splits the body into header lines and message while it arrives.
class intake {
public:
  std::map<std::string, std::string> fields; // first line of a name wins
  std::string error;                         // why the body is malformed
  scanner scan;
  uint64_t after_blank = 0; // bytes after the empty line

  void feed(std::string_view piece) {
    if (done_) {
      after_blank += piece.size();
      scan.feed(piece);
      return;
    }
    head_.append(piece);
    size_t rest;
    if (head_.starts_with("\r\n")) {
      rest = 2;
    } else if (const size_t end = head_.find("\r\n\r\n"); end != head_.npos) {
      rest = end + 4;
    } else {
      if (head_.size() > head_limit) {
        error = "no empty line in the first MiB";
        done_ = true; // the rest is only drained
        head_.clear();
      }
      return;
    }
    done_ = true;
    parse(std::string_view(head_).substr(0, rest - 2));
    const std::string tail = head_.substr(rest);
    head_.clear();
    feed(tail);
  }

  void finish() {
    if (!done_ && error.empty()) error = "no empty line after the header lines";
  }

private:
  static constexpr size_t head_limit = 1 << 20;
  std::string head_;
  bool done_ = false;

  void parse(std::string_view block) {
    for (int n = 1; !block.empty() && error.empty(); ++n) {
      const size_t eol = block.find("\r\n");
      const std::string_view line = block.substr(0, eol);
      block.remove_prefix(eol + 2);
      const size_t colon = line.find(':');
      if (colon == line.npos || line.find('\n') != line.npos) {
        // not echoed: its bytes could pass for an answer line
        error = "no colon or a bare line feed in header line " + std::to_string(n);
        return;
      }
      std::string_view value = line.substr(colon + 1);
      if (value.starts_with(' ')) value.remove_prefix(1);
      fields.emplace(line.substr(0, colon), value);
    }
  }
};

struct sender_totals {
  unsigned long messages = 0, spam = 0, suspected = 0, virus = 0;
};

struct options {
  std::string listen = "127.0.0.1";
  int port = 8088;
  std::string answer, record;
  std::map<std::string, long> bluewhite;
};

class daemon_sim {
public:
  explicit daemon_sim(options o) : opt_(std::move(o)) {}

  void handle(const httplib::Request &req, httplib::Response &res,
              const httplib::ContentReader &reader) {
    const unsigned long n = ++requests_;
    std::ofstream body;
    if (!opt_.record.empty()) {
      const std::filesystem::path base = std::filesystem::path(opt_.record) / std::to_string(n);
      std::ofstream(base.string() + ".head", std::ios::binary) << head_record(req);
      body.open(base.string() + ".body", std::ios::binary);
    }
    // Read all of it in any case: closing on unread bytes could reset the
    // connection before the client sees the answer.
    intake in;
    reader([&](const char *data, size_t len) {
      if (body.is_open()) body.write(data, static_cast<std::streamsize>(len));
      in.feed({data, len});
      return true;
    });
    in.finish();
    body.close();

    std::string verdict;
    if (!opt_.answer.empty()) {
      if (auto a = slurp(opt_.answer)) {
        res.status = 200;
        res.set_content(*a, "text/plain");
        verdict = "answered from " + opt_.answer;
      } else {
        verdict = fail(res, 500, "cannot read " + opt_.answer + ": " + std::strerror(errno));
      }
    } else if (req.path != inline_path && req.path != file_path) {
      verdict = fail(res, 404, "unknown path " + req.path);
    } else {
      verdict = classify(n, req.path == file_path, in, res);
    }
    log(n, req.path, in, res.status, verdict);
  }

private:
  options opt_;
  std::atomic<unsigned long> requests_ = 0;
  std::mutex senders_lock_;
  std::map<std::string, sender_totals> senders_;
  const std::string run_id_ = std::to_string(std::time(nullptr)) + "." + std::to_string(getpid());

  static std::string head_record(const httplib::Request &req) {
    std::string h = req.method + " " + req.target + " " + req.version + "\n";
    for (const auto &[name, value] : req.headers) {
      // httplib's own additions, not sent by the client
      if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
          name == "LOCAL_PORT")
        continue;
      h += name + ": " + value + "\n";
    }
    return h;
  }

  static std::string fail(httplib::Response &res, int status, const std::string &why) {
    res.status = status;
    res.set_content(why + "\r\n", "text/plain");
    return why;
  }

  std::string classify(unsigned long n, bool from_file, intake &in, httplib::Response &res) {
    if (!in.error.empty()) return fail(res, 400, in.error);
    const auto field = [&](const char *name) -> const std::string * {
      const auto it = in.fields.find(name);
      return it == in.fields.end() ? nullptr : &it->second;
    };
    const std::string *pver = field("X-ZELM-PVer");
    if (!pver || *pver != "0000001") return fail(res, 400, "no X-ZELM-PVer line of 0000001");
    for (const char *required : {"X-ZELM-MailFrom", "X-ZELM-SenderIP"})
      if (!field(required)) return fail(res, 400, "no " + std::string(required) + " line");
    if (from_file) {
      const std::string *path = field("X-ZELM-FileName");
      if (!path) return fail(res, 400, "no X-ZELM-FileName line");
      if (in.after_blank) return fail(res, 400, "bytes after the empty line of a file request");
      if (!scan_file(*path, in.scan))
        return fail(res, 500, "cannot read " + *path + ": " + std::strerror(errno));
    }

    const char *spam = in.scan.spam ? "Confirmed" : "None";
    const char *vod = in.scan.virus ? "Virus" : "Clean";
    std::string a = "X-ZELM-PVer: 0000001\r\nX-ZELM-Spam: " + std::string(spam) +
                    "\r\nX-ZELM-VOD: " + vod + "\r\nX-ZELM-Flags: 0\r\nX-ZELM-RefID: " + run_id_ +
                    "." + std::to_string(n) + "\r\n";
    const std::string *id = field("X-ZELM-SenderID");
    if (id) {
      sender_totals t;
      {
        std::lock_guard lock(senders_lock_);
        sender_totals &s = senders_[*id];
        ++s.messages;
        s.spam += in.scan.spam;
        s.virus += in.scan.virus;
        t = s;
      }
      const auto bw = opt_.bluewhite.find(*id);
      a += "X-ZELM-SenderID: " + *id +
           "\r\nX-ZELM-SenderID-Flags: " + (t.spam || t.virus ? "2" : "0") +
           "\r\nX-ZELM-SenderID-TotalMessages: " + std::to_string(t.messages) +
           "\r\nX-ZELM-SenderID-TotalSpam: " + std::to_string(t.spam) +
           "\r\nX-ZELM-SenderID-TotalSuspected: " + std::to_string(t.suspected) +
           "\r\nX-ZELM-SenderID-TotalVirus: " + std::to_string(t.virus) +
           "\r\nX-ZELM-SenderID-BlueWhiteFlag: " +
           std::to_string(bw == opt_.bluewhite.end() ? 0 : bw->second) + "\r\n";
    }
    res.status = 200;
    res.set_content(a, "text/plain");
    return std::string("spam ") + spam + ", virus " + vod + (id ? ", sender " + *id : "");
  }

  // Streams the file: spool files may be far larger than is worth holding.
  static bool scan_file(const std::string &path, scanner &scan) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string buf(1 << 16, '\0');
    for (;;) {
      const ssize_t r = read(fd, buf.data(), buf.size());
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return r == 0;
      }
      scan.feed({buf.data(), static_cast<size_t>(r)});
    }
  }

  static std::optional<std::string> slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }

  static void log(unsigned long n, const std::string &path, const intake &in, int status,
                  const std::string &verdict) {
    const auto from = in.fields.find("X-ZELM-MailFrom");
    const std::string line = "zelmd-sim: #" + std::to_string(n) + " " + path + " from <" +
                             (from == in.fields.end() ? "" : from->second) +
                             ">: " + std::to_string(status) + " " + verdict + "\n";
    std::fputs(line.c_str(), stderr);
  }
};

std::optional<long> number(const char *s, long lo, long hi) {
  char *end;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (!*s || *end || errno || v < lo || v > hi) return std::nullopt;
  return v;
}

// nullopt: stop with the given exit code.
std::optional<options> parse_args(int argc, char **argv, int &code) {
  static const option longs[] = {{"listen", required_argument, nullptr, 'l'},
                                 {"port", required_argument, nullptr, 'p'},
                                 {"answer", required_argument, nullptr, 'a'},
                                 {"record", required_argument, nullptr, 'r'},
                                 {"bluewhite", required_argument, nullptr, 'b'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  options o;
  code = 2;
  for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
    switch (c) {
    case 'l': o.listen = optarg; break;
    case 'p':
      if (auto p = number(optarg, 0, 65535)) {
        o.port = static_cast<int>(*p);
        break;
      }
      std::fprintf(stderr, "zelmd-sim: bad port %s\n", optarg);
      return std::nullopt;
    case 'a': o.answer = optarg; break;
    case 'r': o.record = optarg; break;
    case 'b': {
      const std::string arg = optarg;
      const size_t eq = arg.rfind('=');
      const auto v =
          eq == arg.npos ? std::nullopt : number(arg.c_str() + eq + 1, INT32_MIN, INT32_MAX);
      if (!v) {
        std::fprintf(stderr, "zelmd-sim: --bluewhite wants IDENTITY=NUMBER, not %s\n", optarg);
        return std::nullopt;
      }
      o.bluewhite[arg.substr(0, eq)] = *v;
      break;
    }
    case 'h':
      std::fputs(usage, stdout);
      code = 0;
      return std::nullopt;
    default: std::fputs(usage, stderr); return std::nullopt;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "zelmd-sim: unexpected argument %s\n", argv[optind]);
    return std::nullopt;
  }
  // Fail at start rather than on the first request.
  if (!o.answer.empty() && access(o.answer.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "zelmd-sim: cannot read %s: %s\n", o.answer.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  if (!o.record.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.record, ec);
    if (ec) {
      std::fprintf(stderr, "zelmd-sim: cannot make %s: %s\n", o.record.c_str(),
                   ec.message().c_str());
      return std::nullopt;
    }
  }
  return o;
}

} // namespace

int main(int argc, char **argv) {
  int code;
  const auto opt = parse_args(argc, argv, code);
  if (!opt) return code;

  // Blocked before httplib starts its threads, so that only the waiter
  // below receives them.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  daemon_sim sim(*opt);
  httplib::Server server;
  // httplib's default adds SO_REUSEPORT, which lets a second daemon share
  // a busy port without a word.
  int listener = -1;
  server.set_socket_options([&listener](int sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listener = sock;
  });
  server.Post(".*", [&](const httplib::Request &req, httplib::Response &res,
                        const httplib::ContentReader &reader) { sim.handle(req, res, reader); });

  const int port = opt->port == 0 ? server.bind_to_any_port(opt->listen)
                                  : (server.bind_to_port(opt->listen, opt->port) ? opt->port : -1);
  if (port <= 0) {
    std::fprintf(stderr, "zelmd-sim: cannot listen on %s port %d\n", opt->listen.c_str(),
                 opt->port);
    return 1;
  }
  // The library listens with a backlog of 5: a burst of filters would meet
  // dropped connection attempts and wait seconds for the retries.
  // Listening again only changes the backlog.
  if (listener >= 0) listen(listener, SOMAXCONN);
  const bool v6 = opt->listen.find(':') != std::string::npos;
  std::printf("zelmd-sim listening on %s%s%s:%d\n", v6 ? "[" : "", opt->listen.c_str(),
              v6 ? "]" : "", port);
  std::fflush(stdout);

  std::mutex m;
  std::condition_variable cv;
  bool served = false;
  std::thread waiter([&] {
    int sig;
    sigwait(&stops, &sig);
    // A signal can come before the accept loop runs; stop() would then be
    // lost, and called twice it trips on the closed socket.
    std::unique_lock lock(m);
    while (!served && !server.is_running()) cv.wait_for(lock, std::chrono::milliseconds(5));
    if (!served) server.stop();
  });
  const bool ok = server.listen_after_bind();
  {
    std::lock_guard lock(m);
    served = true;
  }
  cv.notify_all();
  pthread_kill(waiter.native_handle(), SIGTERM); // in case no signal came
  waiter.join();
  return ok ? 0 : 1;
}
