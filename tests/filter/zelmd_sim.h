#ifndef TESTS_FILTER_ZELMD_SIM_H
#define TESTS_FILTER_ZELMD_SIM_H

// The real zelmd-sim on a free loopback port, answering every request with
// the bytes of an answer file that the test rewrites between runs, or, when
// asked, classifying as it does on its own (a RefID unique per request).

#include <filesystem>
#include <string>

#include <sys/types.h>

class zelmd_sim {
public:
  enum class answers { from_file, classified };
  // spool_dir: where it serves file requests from, when not its default.
  explicit zelmd_sim(answers how = answers::from_file, const std::string &spool_dir = "");
  // Stops it with SIGTERM unless stop() did; it must end with exit code 0.
  ~zelmd_sim();
  zelmd_sim(const zelmd_sim &) = delete;
  zelmd_sim &operator=(const zelmd_sim &) = delete;

  int port() const { return port_; }
  // What the next requests are answered with.
  void answer(const std::string &bytes) const;
  // Stops it now, as the destructor would, e.g. while filters use it.
  void stop();

private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

#endif
