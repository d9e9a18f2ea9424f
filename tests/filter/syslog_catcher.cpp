#include "syslog_catcher.h"

#include <cerrno>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {
bool digits(const std::string &s, size_t from, size_t n) {
  if (from + n > s.size()) return false;
  for (size_t i = from; i < from + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}
} // namespace

std::optional<syslog_line> parse_syslog(const std::string &d) {
  syslog_line l;
  const size_t gt = d.find('>');
  if (d.empty() || d[0] != '<' || gt == std::string::npos || gt < 2 || gt > 4 ||
      !digits(d, 1, gt - 1))
    return std::nullopt;
  const int pri = std::stoi(d.substr(1, gt - 1));
  l.facility = LOG_FAC(pri) << 3;
  l.priority = LOG_PRI(pri);
  // "Mmm dd hh:mm:ss ", the day padded with a blank.
  const size_t t = gt + 1;
  if (d.size() < t + 16 || d[t + 3] != ' ' || d[t + 6] != ' ' || d[t + 9] != ':' ||
      d[t + 12] != ':' || d[t + 15] != ' ' || !digits(d, t + 5, 1) || !digits(d, t + 7, 2) ||
      !digits(d, t + 10, 2) || !digits(d, t + 13, 2))
    return std::nullopt;
  l.stamp = d.substr(t, 15);
  const size_t open = d.find('[', t + 16);
  const size_t close = d.find("]: ", t + 16);
  if (open == std::string::npos || close == std::string::npos || open > close ||
      open == t + 16 || !digits(d, open + 1, close - open - 1) || close == open + 1)
    return std::nullopt;
  l.ident = d.substr(t + 16, open - t - 16);
  if (l.ident.find(' ') != std::string::npos) return std::nullopt;
  l.pid = static_cast<pid_t>(std::stol(d.substr(open + 1, close - open - 1)));
  l.text = d.substr(close + 3);
  return l;
}

syslog_catcher::syslog_catcher(const std::filesystem::path &dir) : dir_(dir) {
  std::filesystem::create_directories(dir_);
  const std::string path = (dir_ / "log").string();
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) throw std::runtime_error("socket path too long");
  path.copy(a.sun_path, path.size());
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
    throw std::runtime_error("cannot bind " + path);
}

syslog_catcher::~syslog_catcher() {
  if (fd_ >= 0) close(fd_);
  std::error_code ec;
  std::filesystem::remove(dir_ / "log", ec);
}

std::vector<std::string> syslog_catcher::take() {
  std::vector<std::string> got;
  char buf[65536];
  for (;;) {
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    got.emplace_back(buf, static_cast<size_t>(n));
  }
  return got;
}
