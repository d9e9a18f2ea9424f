#ifndef TESTS_FILTER_SYSLOG_CATCHER_H
#define TESTS_FILTER_SYSLOG_CATCHER_H

// The lines a filter run sends to syslog. glibc's syslog writes datagrams
// to /dev/log; the catcher binds a datagram socket named "log" in a
// directory of its own, which a run bind-mounts over /dev in a private
// mount namespace (filter_run::binds, onto "/dev"). Needs can_isolate().

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

struct syslog_line {
  int facility = -1; // LOG_MAIL and the like, unshifted
  int priority = -1; // LOG_INFO and the like
  std::string stamp;  // "Mmm dd hh:mm:ss"
  std::string ident;
  pid_t pid = -1;
  std::string text;
};

// "<PRI>Mmm dd hh:mm:ss ident[pid]: text"; nullopt when it is not that.
std::optional<syslog_line> parse_syslog(const std::string &datagram);

class syslog_catcher {
public:
  explicit syslog_catcher(const std::filesystem::path &dir);
  ~syslog_catcher();
  syslog_catcher(const syslog_catcher &) = delete;
  syslog_catcher &operator=(const syslog_catcher &) = delete;

  const std::filesystem::path &dir() const { return dir_; }
  // The datagrams that have arrived and were not taken yet.
  std::vector<std::string> take();

private:
  std::filesystem::path dir_;
  int fd_ = -1;
};

#endif
