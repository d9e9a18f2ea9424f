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
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include "fd.h"

namespace {

using namespace std::string_literals;

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
                         and DIR/N.body (the body byte for byte); DIR, and
                         any directory it makes for it, gets mode 0700 and
                         the files 0600, whatever the umask
  --bluewhite ID=N       blue/white flag N for sender identity ID (repeatable)
  --version              version
  --help                 this text

At start it says on standard error what it is, then prints "zelmd-sim
listening on ADDR:PORT" on standard output; one line per POST goes to
standard error, and one per connection cut off before its request was
read, each control byte in them shown as '?'. SIGTERM or SIGINT stops it
within a second, requests in flight or not.

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

Limits, so that no client holds a worker for long: 16 workers, one
request a connection. Counted from when a worker takes a connection up,
the request line and header fields must be in within 5 seconds and the
whole request, body and file included, within 60; no read or write waits
more than 5 seconds. A connection that has kept its worker waiting for
the client's bytes 1 second in all is slow. Slow connections may hold 8
workers at a time, 4 of them from one client address at most: one more
is cut off at once, and while 8 are slow, so is any other that has
waited 0.2 seconds. Requests that arrive without such waits never
count, however many come at once.

Errors: 400 for a body without the empty line, a header line without a
colon or with a bare line feed, a missing or wrong required line, a file
request with bytes after the empty line, a body the client cut short, or
a request line or header field HTTP cannot parse; 404 for other paths and
methods other than POST; 414 for a request line over 8192 bytes; 416 for
a Range header field it cannot parse (others are ignored); for the
file of a file request 403 (a relative path, outside the spool
directories, "..", a symbolic link or no directory on the way, not a
regular file, another hard link or owner, replaced while being opened, or
a file or directory on the way it may not open), 404 (the file or a
directory on the way missing), 413 (larger than --max-size, or grown
over it while read), 500 (a read error); with
--answer, 500 when FILE cannot be opened or read or is no regular file,
413 when it is larger than --max-size; 503 for a request not in or not
done within its time limits, a slow connection over its address's share
or over the share of all slow ones, or one cut short by SIGTERM. Error
bodies are one plain line with the reason, no X-ZELM-* lines.
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

// No client may hold a worker for long. Counted from when a worker takes
// the connection up, the request line and header fields get head_time, the
// whole request (body and file) request_time; no read or write waits more
// than io_limit.
constexpr auto io_limit = std::chrono::seconds(5);
constexpr auto head_time = std::chrono::seconds(5);
constexpr auto request_time = std::chrono::seconds(60);
// A connection that kept its worker waiting this long in all for the
// client's bytes is slow. Slow ones together get half the workers, and one
// address only a few of them, so that many addresses (all of 127/8 is
// local) cannot hold every worker. Requests sent in one go never wait, so a
// burst of them from one address, as the filters of a busy host make, is
// never turned away.
constexpr auto slow_after = std::chrono::seconds(1);
constexpr size_t workers = 16;
constexpr int slow_in_all = workers / 2;
constexpr int slow_per_address = 4;
// While all of the slow share is taken, a connection that has waited this
// long is cut off: a crowd of slow clients then costs each free worker a
// fifth of a second per connection, and a request queued behind them soon
// gets one. The filters of one busy host never take all of it.
constexpr auto no_room_after = std::chrono::milliseconds(200);
// Requests still running this long after SIGTERM are cut off.
constexpr auto stop_grace = std::chrono::milliseconds(500);

std::atomic<bool> stopping = false;
// Readable once stopping, so that no connection waits on for its client.
int stop_pipe[2] = {-1, -1};

using clock_type = std::chrono::steady_clock;

std::string seconds_text(std::chrono::seconds s) { return std::to_string(s.count()) + " seconds"; }

// Bytes from a request on their way into a log line or an error line:
// control bytes become '?', as the filter has them, so that no request can
// forge a line or break one.
std::string printable(std::string_view s) {
  std::string out(s);
  for (char &c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

// One line on standard error, written in one go.
void say(const std::string &line) {
  std::fputs(("zelmd-sim: " + printable(line) + "\n").c_str(), stderr);
}

// The address and port of either end of a socket.
void endpoint(int fd, bool peer, std::string &ip, int &port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  char text[INET6_ADDRSTRLEN] = "";
  port = 0;
  if ((peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    if (a.ss_family == AF_INET) {
      const auto &in = reinterpret_cast<const sockaddr_in &>(a);
      inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
      port = ntohs(in.sin_port);
    } else if (a.ss_family == AF_INET6) {
      const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(a);
      inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
      port = ntohs(in6.sin6_port);
    }
  }
  ip = text;
}

int wait_ms(clock_type::duration d) {
  return static_cast<int>(
      std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(d).count()));
}

std::mutex slow_lock;
std::map<std::string, int> slow_count; // by client address
int slow_total = 0;

// The library's stream over a client's socket, within the limits above.
// A read that is cut off says why in cut(); before the handler has taken
// over, the 503 is answered here, since the library would only say 400.
class connection final : public httplib::Stream {
public:
  explicit connection(int fd) : fd_(fd), start_(clock_type::now()) {
    int port;
    endpoint(fd, true, peer_, port);
  }
  ~connection() override {
    if (!slow_) return;
    std::lock_guard lock(slow_lock);
    --slow_total;
    if (--slow_count[peer_] == 0) slow_count.erase(peer_);
  }
  connection(const connection &) = delete;
  connection &operator=(const connection &) = delete;

  // read and write do the waiting
  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }

  ssize_t read(char *ptr, size_t size) override {
    if (pos_ == end_) {
      const ssize_t r = fill();
      if (r <= 0) return r;
      pos_ = 0;
      end_ = static_cast<size_t>(r);
    }
    const size_t n = std::min(size, end_ - pos_);
    std::memcpy(ptr, buf_ + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char *ptr, size_t size) override {
    if (answered_) return -1;
    const auto by = std::min(clock_type::now(), start_ + request_time) + io_limit;
    for (;;) {
      const ssize_t w = send(fd_, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (w >= 0) return w;
      if (errno == EINTR) continue;
      const auto now = clock_type::now();
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || now >= by) return -1;
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, wait_ms(by - now)) < 0 && errno != EINTR) return -1;
    }
  }

  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    endpoint(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    endpoint(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

  // From here on the handler answers, a cut-off included.
  void take_over() { handled_ = true; }
  clock_type::time_point deadline() const { return start_ + request_time; }
  const std::string &cut() const { return cut_; }
  const std::string &peer() const { return peer_; }
  bool answered_here() const { return answered_; }

private:
  int fd_;
  std::string peer_;
  clock_type::time_point start_;
  clock_type::duration waited_{};
  bool head_done_ = false, slow_ = false, handled_ = false, answered_ = false;
  uint32_t tail_ = 0; // the last bytes received, to find the empty line
  std::string cut_;
  char buf_[1 << 14];
  size_t pos_ = 0, end_ = 0;

  // Reads what the client sent, waiting for it within the limits: the
  // bytes read, 0 at its end, -1 on an error or when cut off.
  ssize_t fill() {
    const auto io_by = clock_type::now() + io_limit;
    for (;;) {
      if (!cut_.empty()) return -1;
      if (stopping) return cut_off("stopping");
      const auto now = clock_type::now();
      const auto by = start_ + (head_done_ ? request_time : head_time);
      if (now >= by)
        return cut_off(head_done_ ? "request not received within " + seconds_text(request_time)
                                  : "request line and header fields not received within " +
                                        seconds_text(head_time));
      const ssize_t r = recv(fd_, buf_, sizeof buf_, MSG_DONTWAIT);
      if (r >= 0) {
        // The head ends with the first empty line, as the library reads it.
        for (ssize_t i = 0; i < r && !head_done_; ++i) {
          tail_ = (tail_ << 8 | static_cast<unsigned char>(buf_[i])) & 0xffffff;
          head_done_ = tail_ == 0x0a0d0a;
        }
        return r;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (now >= io_by) return cut_off("nothing received for " + seconds_text(io_limit));
      auto wait = std::min(by, io_by) - now;
      if (!slow_) {
        const clock_type::duration judged = waited_ < no_room_after ? no_room_after : slow_after;
        wait = std::min(wait, judged - waited_);
      }
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
      if (poll(p, 2, wait_ms(wait)) < 0 && errno != EINTR) return -1;
      waited_ += clock_type::now() - now;
      if (!slow_ && waited_ >= no_room_after)
        if (std::string why = judge_slow(); !why.empty()) return cut_off(std::move(why));
    }
  }

  // Counts the connection slow once it has waited slow_after, while there
  // is room: "" to go on waiting, else why it is cut off.
  std::string judge_slow() {
    std::lock_guard lock(slow_lock);
    if (slow_total >= slow_in_all) return "too many slow connections";
    if (waited_ < slow_after) return "";
    int &mine = slow_count[peer_];
    if (mine >= slow_per_address) return "too many slow connections from " + peer_;
    ++mine;
    ++slow_total;
    slow_ = true;
    return "";
  }

  ssize_t cut_off(std::string why) {
    cut_ = std::move(why);
    if (!handled_ && !answered_) {
      answered_ = true; // the library's own answer is dropped
      const std::string body = cut_ + "\r\n",
                        a = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                            "Content-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      // into a send buffer still empty: it does not block
      send(fd_, a.data(), a.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    return -1;
  }
};

// The connection the calling worker serves, for the handler.
thread_local connection *current = nullptr;

// The library's server with the stream above in place of its own: one
// request a connection, so that none holds a worker for a next one.
class sim_server : public httplib::Server {
  bool process_and_close_socket(socket_t sock) override {
    bool ok;
    {
      connection c(sock);
      current = &c;
      bool closed = false;
      // A Range would cut an answer short and leave its status 200.
      ok = process_request(c, true, closed, [](httplib::Request &req) { req.ranges.clear(); });
      current = nullptr;
      if (c.answered_here()) say("connection from " + c.peer() + ": 503 " + c.cut());
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
  }
};

// Why a request is not served: an HTTP status and one line of reason.
struct refusal {
  int status = 0; // 0: served
  std::string why;
  explicit operator bool() const { return status != 0; }
};

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

// Recorded mail is for the operator's eyes only: directories mode 0700,
// files 0600, whatever the umask.
std::error_code make_private_dirs(const std::filesystem::path &dir) {
  std::filesystem::path p;
  for (const auto &name : dir) {
    p /= name;
    if (mkdir(p.c_str(), 0700) == 0) {
      if (chmod(p.c_str(), 0700) != 0) return {errno, std::generic_category()};
    } else if (errno != EEXIST) {
      return {errno, std::generic_category()};
    }
  }
  return {};
}

// Not opened at all rather than opened with other modes.
fd_owner private_file(const std::string &path) {
  fd_owner f(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (f.ok() && fchmod(f.get(), 0600) != 0) f.reset();
  return f;
}

void put(int fd, std::string_view bytes) {
  while (fd >= 0 && !bytes.empty()) {
    const ssize_t w = write(fd, bytes.data(), bytes.size());
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(w));
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
              const httplib::ContentReader &reader, connection &conn) {
    conn.take_over();
    const unsigned long n = ++requests_;
    fd_owner body;
    if (!opt_.record.empty()) {
      const std::string base = (std::filesystem::path(opt_.record) / std::to_string(n)).string();
      put(private_file(base + ".head").get(), head_record(req));
      body = private_file(base + ".body");
    }
    // Read all of it, unless it is cut off: closing on unread bytes could
    // reset the connection before the client sees the answer.
    const auto deadline = conn.deadline();
    intake in;
    const bool whole = reader([&](const char *data, size_t len) {
      if (body.ok()) put(body.get(), {data, len});
      in.feed({data, len});
      return true;
    });
    in.finish();
    body.reset();

    std::string verdict;
    if (!whole) {
      verdict = conn.cut().empty() ? fail(res, 400, "body not received whole")
                                   : fail(res, 503, conn.cut());
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
    res.set_content(printable(why) + "\r\n", "text/plain");
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
    say("#" + std::to_string(n) + " " + path + " from <" +
        (from == in.fields.end() ? "" : from->second) + ">: " + std::to_string(status) + " " +
        verdict);
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
      say("--answer " + o.answer + ": " + r.why);
      return false;
    }
  }
  if (!o.record.empty()) {
    std::error_code ec = make_private_dirs(o.record);
    const char *why = ec                                             ? nullptr
                      : !std::filesystem::is_directory(o.record, ec) ? "not a directory"
                      : access(o.record.c_str(), W_OK | X_OK) != 0   ? std::strerror(errno)
                                                                     : "";
    if (!why || *why) {
      say("--record " + o.record + ": " + (why ? why : ec.message()));
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
      say("--spool-dir " + dir + ": " + why);
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
      say("bad port "s + optarg);
      return std::nullopt;
    case 's': o.spool_dirs.push_back(optarg); break;
    case 'm':
      if (auto m = size_arg(optarg)) {
        o.max_size = *m;
        break;
      }
      say("--max-size wants bytes, or a number with K, M or G, not "s + optarg);
      return std::nullopt;
    case 'a': o.answer = optarg; break;
    case 'r': o.record = optarg; break;
    case 'b': {
      const std::string arg = optarg;
      const size_t eq = arg.rfind('=');
      const auto v =
          eq == arg.npos ? std::nullopt : number(arg.c_str() + eq + 1, INT32_MIN, INT32_MAX);
      if (!v) {
        say("--bluewhite wants IDENTITY=NUMBER, not "s + optarg);
        return std::nullopt;
      }
      o.bluewhite[arg.substr(0, eq)] = *v;
      break;
    }
    case 'v':
      std::puts("zelmd-sim " ZELMD_VERSION);
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
    say("unexpected argument "s + argv[optind]);
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

  if (pipe2(stop_pipe, O_CLOEXEC) != 0) {
    say("pipe: "s + std::strerror(errno));
    return 1;
  }
  daemon_sim sim(*opt);
  sim_server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(workers); };
  // httplib's default adds SO_REUSEPORT, which lets a second daemon share
  // a busy port without a word.
  int listener = -1;
  server.set_socket_options([&listener](int sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listener = sock;
  });
  // The library's own refusals get a reason line too.
  server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
    if (!res.body.empty()) return;
    const std::string why = res.status == 404   ? "only POST is served"
                            : res.status == 414 ? "request line over 8192 bytes"
                            : res.status == 416 ? "a Range header field it cannot parse"
                                                : "malformed request";
    res.set_content(why + "\r\n", "text/plain");
  });
  // Every path, CR and LF included, which "." would leave to the library.
  server.Post("[\\s\\S]*", [&](const httplib::Request &req, httplib::Response &res,
                               const httplib::ContentReader &reader) {
    sim.handle(req, res, reader, *current);
  });

  const int port = opt->port == 0 ? server.bind_to_any_port(opt->listen)
                                  : (server.bind_to_port(opt->listen, opt->port) ? opt->port : -1);
  if (port <= 0) {
    say("cannot listen on " + opt->listen + " port " + std::to_string(opt->port));
    return 1;
  }
  // The library listens with a backlog of 5: a burst of filters would meet
  // dropped connection attempts and wait seconds for the retries.
  // Listening again only changes the backlog.
  if (listener >= 0) listen(listener, SOMAXCONN);
  // Said where its log goes, so that no one takes it for the real daemon.
  if (opt->answer.empty())
    say("a stand-in for zelmd that knows only the GTUBE and EICAR test strings and finds all "
        "other mail clean; files from " +
        opt->spool_list + ", up to " + std::to_string(opt->max_size) + " bytes");
  else
    say("a stand-in for zelmd that answers every request from " + opt->answer);
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
    [[maybe_unused]] const ssize_t woke = write(stop_pipe[1], "", 1); // one byte: cannot block
    // A signal can come before the accept loop runs; stop() would then be
    // lost, and called twice it trips on the closed socket.
    std::unique_lock lock(m);
    while (!served && !server.is_running()) cv.wait_for(lock, std::chrono::milliseconds(5));
    if (served) return;
    server.stop();
    // The library waits for every request in flight, and the pipe does not
    // wake a read from a file that blocks.
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
