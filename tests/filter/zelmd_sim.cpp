#include "zelmd_sim.h"

#include "fd.h"

#include <csignal>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

zelmd_sim::zelmd_sim(answers how, const std::string &spool_dir) {
  fs::create_directories(ZELMD_SCRATCH);
  std::string t = ZELMD_SCRATCH "/sim-XXXXXX";
  if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = t;
  answer(""); // it refuses to start without a readable file
  const std::string file = (dir_ / "answer").string();
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives a crashed test
    dup2(p[1], 1);
    if (how == answers::classified) {
      // Its line per request would only bury the test's own output.
      const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
      if (null >= 0) dup2(null, 2);
      if (!spool_dir.empty())
        execl(ZELMD_SIM, ZELMD_SIM, "--port", "0", "--spool-dir", spool_dir.c_str(),
              static_cast<char *>(nullptr));
      execl(ZELMD_SIM, ZELMD_SIM, "--port", "0", static_cast<char *>(nullptr));
    }
    execl(ZELMD_SIM, ZELMD_SIM, "--port", "0", "--answer", file.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(p[1]);
  std::string line;
  for (char c; read(p[0], &c, 1) == 1 && c != '\n';) line += c;
  close(p[0]);
  const std::string want = "zelmd-sim listening on 127.0.0.1:";
  if (line.starts_with(want)) port_ = std::stoi(line.substr(want.size()));
  if (port_ <= 0) ADD_FAILURE() << "zelmd-sim did not start: \"" << line << '"';
}

zelmd_sim::~zelmd_sim() {
  stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void zelmd_sim::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int st = 0;
  while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "zelmd-sim ended with status " << st;
}

void zelmd_sim::answer(const std::string &bytes) const {
  std::ofstream(dir_ / "answer", std::ios::binary | std::ios::trunc) << bytes;
}
