// zelmd-sim: a stand-in for the classification daemon zelmd, for the demo,
// the tests and for trying an installation without the real daemon.
#include <algorithm>
#include <atomic>
#include <cctype>
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
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include "fd.h"

namespace {

const char usage[] = R"(usage: zelmd-sim [OPTION]...
Stands in for the classification daemon zelmd: answers the POSTs of
qmail-zelmd with X-ZELM-* lines. It knows only the GTUBE and EICAR test
strings; every other message is clean to it.

  --listen ADDR          address to listen on (default 127.0.0.1)
  --port N               port (default 8088; 0 picks a free one)
  --spool-dir DIR        file requests may name files below DIR only
                         (repeatable; default /tmp/qmail-zelmd)
  --max-size N           largest file a file request may name, in bytes, or
                         with K, M or G (default 128M)
  --answer FILE          answer every POST, whatever it holds, with status 200
                         and FILE's bytes as the body; FILE is read anew for
                         each request, so it may be changed while running
  --record DIR           keep request number N (from 1) as DIR/N.head (request
                         line, then one "Name: value" line per header field)
                         and DIR/N.body (the body byte for byte)
  --bluewhite ID=N       blue/white flag N for sender identity ID (repeatable)
  --version              version
  --help                 this text

At start it says on standard error what it is, then prints "zelmd-sim
listening on ADDR:PORT" on standard output; one line per request goes to
standard error. SIGTERM or SIGINT stops it within a second, requests in
flight or not.

Requests: POST /zelmd/ClassifyMessage_Inline, body = header lines, an empty
line, the message; POST /zelmd/ClassifyMessage_File, body = header lines
with X-ZELM-FileName, an empty line, nothing more: the message is read from
that file. Header lines end in CR LF; X-ZELM-PVer (0000001),
X-ZELM-MailFrom and X-ZELM-SenderIP are required; X-ZELM-SenderID, even
empty, makes the request outbound.

A file request is served only for a regular file below a spool directory,
reached without a symbolic link or "..", with no other hard link, owned by
the owner of the spool directory and no larger than --max-size. The file
is opened without blocking and read within the request's time limit.

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
line, or a file request with bytes after the empty line; for the file of a
file request 403 (outside the spool directories, a link on the way, not a
regular file, another owner), 404 (missing), 413 (too large), 500 (a read
error); 503 for a request not done within 60 seconds or cut short by
SIGTERM. Error bodies are one plain line with the reason, no X-ZELM-*
lines.
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

// No request may hold a worker for long: each read or write on the
// connection waits at most io_seconds, the whole request (body and file)
// gets request_time.
constexpr int io_seconds = 5;
constexpr auto request_time = std::chrono::seconds(60);
// Requests still running this long after SIGTERM are cut off.
constexpr auto stop_grace = std::chrono::milliseconds(500);

std::atomic<bool> stopping = false;

// Why a request is not served: an HTTP status and one line of reason.
struct refusal {
  int status = 0; // 0: served
  std::string why;
  explicit operator bool() const { return status != 0; }
};

using clock_type = std::chrono::steady_clock;

// The names of an absolute path; empty ones and "." vanish, as they do for
// the kernel, so that the filter's "DIR/PID//START.msg" matches DIR.
std::vector<std::string> path_names(std::string_view path) {
  std::vector<std::string> names;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    if (!name.empty() && name != ".") names.emplace_back(name);
    if (slash == path.npos) break;
    path.remove_prefix(slash + 1);
  }
  return names;
}

refusal refuse(int status, std::string why) { return {status, std::move(why)}; }

// Opens a file named by the operator (--answer): links are followed, but
// a FIFO or a device is refused before anything is read from it.
refusal open_regular(const std::string &path, fd_owner &f) {
  f = fd_owner(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!f.ok() || fstat(f.get(), &st) != 0) return refuse(500, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return refuse(500, "not a regular file");
  return {};
}

// Reads an open regular file to its end within the limits of the request.
refusal read_file(int fd, uint64_t max_size, clock_type::time_point deadline,
                  const std::function<void(std::string_view)> &take) {
  std::string buf(1 << 16, '\0');
  for (uint64_t total = 0;;) {
    if (stopping) return refuse(503, "stopping");
    if (clock_type::now() > deadline) return refuse(503, "reading took too long");
    const ssize_t r = read(fd, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return refuse(500, std::strerror(errno));
    if (r == 0) return {};
    total += static_cast<uint64_t>(r);
    if (total > max_size) return refuse(413, "grew over " + std::to_string(max_size) + " bytes");
    take({buf.data(), static_cast<size_t>(r)});
  }
}

struct sender_totals {
  unsigned long messages = 0, spam = 0, suspected = 0, virus = 0;
};

struct options {
  std::string listen = "127.0.0.1";
  int port = 8088;
  std::vector<std::string> spool_dirs; // absolute, without "//", "." or a slash at the end
  std::vector<std::vector<std::string>> spool_names;
  std::string spool_list; // the same, for messages
  uint64_t max_size = 128 << 20;
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
    // Read all of it, unless time is up: closing on unread bytes could
    // reset the connection before the client sees the answer.
    const auto deadline = clock_type::now() + request_time;
    bool late = false;
    intake in;
    const bool whole = reader([&](const char *data, size_t len) {
      if (stopping || clock_type::now() > deadline) {
        late = true;
        return false;
      }
      if (body.is_open()) body.write(data, static_cast<std::streamsize>(len));
      in.feed({data, len});
      return true;
    });
    in.finish();
    body.close();

    std::string verdict;
    if (!whole) {
      verdict = fail(res, late ? 503 : 400,
                     !late      ? "body not received whole"
                     : stopping ? "stopping"
                                : "body not received within the time limit");
    } else if (!opt_.answer.empty()) {
      std::string a;
      fd_owner f;
      refusal r = open_regular(opt_.answer, f);
      if (!r)
        r = read_file(f.get(), opt_.max_size, deadline, [&](std::string_view p) { a.append(p); });
      if (r) {
        verdict = fail(res, r.status, "cannot read " + opt_.answer + ": " + r.why);
      } else {
        res.status = 200;
        res.set_content(a, "text/plain");
        verdict = "answered from " + opt_.answer;
      }
    } else if (req.path != inline_path && req.path != file_path) {
      verdict = fail(res, 404, "unknown path " + req.path);
    } else {
      verdict = classify(n, req.path == file_path, in, deadline, res);
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

  std::string classify(unsigned long n, bool from_file, intake &in, clock_type::time_point deadline,
                       httplib::Response &res) {
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
      fd_owner f;
      refusal r = open_spool(*path, f);
      if (!r)
        r = read_file(f.get(), opt_.max_size, deadline,
                      [&](std::string_view piece) { in.scan.feed(piece); });
      if (r) return fail(res, r.status, "file " + *path + ": " + r.why);
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

  // The file of a file request: a regular file below a spool directory,
  // reached through no link, so that no request gets at other files.
  refusal open_spool(const std::string &path, fd_owner &f) const {
    if (!path.starts_with('/')) return refuse(403, "not an absolute path");
    const std::vector<std::string> names = path_names(path);
    if (std::find(names.begin(), names.end(), "..") != names.end())
      return refuse(403, "\"..\" in the path");
    size_t d = 0;
    for (; d < opt_.spool_names.size(); ++d) {
      const auto &top = opt_.spool_names[d];
      if (names.size() > top.size() && std::equal(top.begin(), top.end(), names.begin())) break;
    }
    if (d == opt_.spool_names.size())
      return refuse(403, "outside the spool directories " + opt_.spool_list);

    const std::string &top = opt_.spool_dirs[d];
    fd_owner dir(open(top.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.ok()) return step_refused(AT_FDCWD, top);
    struct stat owner;
    if (fstat(dir.get(), &owner) != 0) return refuse(500, std::strerror(errno));
    for (size_t i = opt_.spool_names[d].size(); i + 1 < names.size(); ++i) {
      fd_owner next(
          openat(dir.get(), names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next.ok()) return step_refused(dir.get(), names[i]);
      dir = std::move(next);
    }

    // Looked at before it is opened: opening a device can do things.
    const char *name = names.back().c_str();
    struct stat st;
    if (fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return refuse(errno == ENOENT ? 404 : 403, std::strerror(errno));
    if (S_ISLNK(st.st_mode)) return refuse(403, "a symbolic link");
    if (!S_ISREG(st.st_mode)) return refuse(403, "not a regular file");
    f = fd_owner(openat(dir.get(), name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat now;
    if (!f.ok() || fstat(f.get(), &now) != 0)
      return refuse(errno == ENOENT ? 404 : 403, std::strerror(errno));
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino)
      return refuse(403, "replaced while being opened");
    // A hard link could stand for any file on the same file system.
    if (now.st_nlink != 1) return refuse(403, "has other hard links");
    if (now.st_uid != owner.st_uid) return refuse(403, "not owned by the spool directory's owner");
    if (static_cast<uint64_t>(now.st_size) > opt_.max_size)
      return refuse(413, std::to_string(now.st_size) + " bytes, over the limit of " +
                             std::to_string(opt_.max_size));
    return {};
  }

  // Why a directory on the way could not be opened.
  static refusal step_refused(int at, const std::string &name) {
    const int saved = errno;
    if (saved == ENOENT) return refuse(404, "no " + name);
    struct stat st;
    if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(st.st_mode)) return refuse(403, name + " is a symbolic link");
      if (!S_ISDIR(st.st_mode)) return refuse(403, name + " is not a directory");
    }
    return refuse(403, name + ": " + std::strerror(saved));
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

// N, NK, NM or NG bytes, 1 up to 1T.
std::optional<uint64_t> size_arg(const char *s) {
  char *end;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (!std::isdigit(static_cast<unsigned char>(*s)) || errno || v == 0) return std::nullopt;
  const std::string_view unit = end;
  const int shift = unit.empty() ? 0 : unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : -1;
  if (shift < 0 || v > (uint64_t{1} << 40) >> shift) return std::nullopt;
  return v << shift;
}

const char usage_hint[] = "usage: zelmd-sim [OPTION]...; zelmd-sim --help lists them\n";

// Paths that are used only later are checked at start, so that a slip
// shows at once and not as odd answers.
bool check_paths(options &o) {
  if (!o.answer.empty()) {
    fd_owner f;
    if (const refusal r = open_regular(o.answer, f)) {
      std::fprintf(stderr, "zelmd-sim: --answer %s: %s\n", o.answer.c_str(), r.why.c_str());
      return false;
    }
  }
  if (!o.record.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.record, ec);
    const char *why = ec                                             ? nullptr
                      : !std::filesystem::is_directory(o.record, ec) ? "not a directory"
                      : access(o.record.c_str(), W_OK | X_OK) != 0   ? std::strerror(errno)
                                                                     : "";
    if (!why || *why) {
      std::fprintf(stderr, "zelmd-sim: --record %s: %s\n", o.record.c_str(),
                   why ? why : ec.message().c_str());
      return false;
    }
  }
  if (o.spool_dirs.empty()) o.spool_dirs.push_back("/tmp/qmail-zelmd");
  for (std::string &dir : o.spool_dirs) {
    std::vector<std::string> names = path_names(dir);
    const char *why = !dir.starts_with('/') ? "not an absolute path"
                      : names.empty()       ? "would be every file"
                      : std::find(names.begin(), names.end(), "..") != names.end()
                          ? "\"..\" in the path"
                          : nullptr;
    if (why) {
      std::fprintf(stderr, "zelmd-sim: --spool-dir %s: %s\n", dir.c_str(), why);
      return false;
    }
    dir.clear();
    for (const auto &name : names) dir += "/" + name;
    o.spool_list += (o.spool_list.empty() ? "" : ", ") + dir;
    o.spool_names.push_back(std::move(names));
  }
  return true;
}

// nullopt: stop with the given exit code.
std::optional<options> parse_args(int argc, char **argv, int &code) {
  static const option longs[] = {{"listen", required_argument, nullptr, 'l'},
                                 {"port", required_argument, nullptr, 'p'},
                                 {"spool-dir", required_argument, nullptr, 's'},
                                 {"max-size", required_argument, nullptr, 'm'},
                                 {"answer", required_argument, nullptr, 'a'},
                                 {"record", required_argument, nullptr, 'r'},
                                 {"bluewhite", required_argument, nullptr, 'b'},
                                 {"version", no_argument, nullptr, 'v'},
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
    case 's': o.spool_dirs.push_back(optarg); break;
    case 'm':
      if (auto m = size_arg(optarg)) {
        o.max_size = *m;
        break;
      }
      std::fprintf(stderr,
                   "zelmd-sim: --max-size wants bytes, or a number with K, M or G, not %s\n",
                   optarg);
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
    case 'v':
      std::puts("zelmd-sim " ZELMD_SIM_VERSION);
      code = 0;
      return std::nullopt;
    case 'h':
      std::fputs(usage, stdout);
      code = 0;
      return std::nullopt;
    default: std::fputs(usage_hint, stderr); return std::nullopt;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "zelmd-sim: unexpected argument %s\n", argv[optind]);
    std::fputs(usage_hint, stderr);
    return std::nullopt;
  }
  if (!check_paths(o)) return std::nullopt;
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
  server.set_read_timeout(io_seconds);
  server.set_write_timeout(io_seconds);
  server.set_keep_alive_timeout(io_seconds);
  // One request a connection: a connection kept for the next would hold
  // its worker that much longer, and the filter never sends a second.
  server.set_keep_alive_max_count(1);
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
  // Said where its log goes, so that no one takes it for the real daemon.
  if (opt->answer.empty())
    std::fprintf(stderr,
                 "zelmd-sim: a stand-in for zelmd that knows only the GTUBE and EICAR test "
                 "strings and finds all other mail clean; files from %s, up to %llu bytes\n",
                 opt->spool_list.c_str(), static_cast<unsigned long long>(opt->max_size));
  else
    std::fprintf(stderr, "zelmd-sim: a stand-in for zelmd that answers every request from %s\n",
                 opt->answer.c_str());
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
    stopping = true;
    // A signal can come before the accept loop runs; stop() would then be
    // lost, and called twice it trips on the closed socket.
    std::unique_lock lock(m);
    while (!served && !server.is_running()) cv.wait_for(lock, std::chrono::milliseconds(5));
    if (served) return;
    server.stop();
    // The library waits for every request in flight, and one whose client
    // is silent holds it for the whole read timeout.
    if (!cv.wait_for(lock, stop_grace, [&] { return served; })) {
      std::fflush(stdout);
      _exit(0);
    }
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
