// A queue program that records what it was handed, for the filter's
// black-box tests. Settings come from the environment, which the filter
// passes through:
//   FAKEQ_DIR     directory for the records (none written when unset)
//   FAKEQ_EXIT    exit code, default 0
//   FAKEQ_SIGNAL  die by this signal once both inputs are read
//   FAKEQ_NOREAD  exit at once, reading nothing
//   FAKEQ_SLOW    read the message 16 KiB at a time, this many ms apart
//   FAKEQ_READ_MAX  read at most this many message bytes, record them, and
//                 end at once (by FAKEQ_SIGNAL when set), envelope unread
//   FAKEQ_STOP_PARENT  send this signal to the parent (the filter) once
//                 FAKEQ_STOP_AT ("message", else "envelope") is read whole
// Records: message (fd 0), envelope (fd 1), fds (open descriptors at
// start, one per line), cwd, argv0, nproc (soft and hard RLIMIT_NPROC).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace {

std::string dir;

void record(const char *name, const std::string &data) {
  if (dir.empty()) return;
  const std::string fn = dir + "/" + name;
  const int fd = open(fn.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) _exit(100);
  for (size_t off = 0; off < data.size();) {
    const ssize_t w = write(fd, data.data() + off, data.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) _exit(100);
    off += static_cast<size_t>(w);
  }
  close(fd);
}

std::string slurp(int fd, size_t max = SIZE_MAX, int pause_ms = 0) {
  std::string s;
  char buf[65536];
  const size_t chunk = pause_ms > 0 ? 16384 : sizeof buf;
  while (s.size() < max) {
    if (pause_ms > 0) usleep(static_cast<useconds_t>(pause_ms) * 1000);
    const ssize_t r = read(fd, buf, std::min(chunk, max - s.size()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) _exit(101);
    if (r == 0) break;
    s.append(buf, static_cast<size_t>(r));
  }
  return s;
}

void die_by(const char *sig) {
  const int s = std::atoi(sig);
  signal(s, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, s);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  kill(getpid(), s);
  _exit(103); // not reached for a fatal signal
}

// Listed before anything of our own is opened, so that only inherited
// descriptors show up.
std::string open_fds() {
  DIR *d = opendir("/proc/self/fd");
  if (!d) _exit(102);
  std::string list;
  while (const dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (std::atoi(e->d_name) == dirfd(d)) continue;
    list += e->d_name;
    list += '\n';
  }
  closedir(d);
  return list;
}

} // namespace

int main(int, char **argv) {
  const std::string fds = open_fds();
  if (const char *d = getenv("FAKEQ_DIR")) dir = d;
  const char *ex = getenv("FAKEQ_EXIT");
  const int code = ex ? std::atoi(ex) : 0;
  char cwd[PATH_MAX];
  record("fds", fds);
  record("cwd", getcwd(cwd, sizeof cwd) ? cwd : "?");
  record("argv0", argv[0] ? argv[0] : "");
  record("pid", std::to_string(getpid()));
  rlimit nproc;
  if (getrlimit(RLIMIT_NPROC, &nproc) == 0)
    record("nproc", std::to_string(nproc.rlim_cur) + " " + std::to_string(nproc.rlim_max));
  if (getenv("FAKEQ_NOREAD")) _exit(code);
  const char *slow = getenv("FAKEQ_SLOW");
  const char *max = getenv("FAKEQ_READ_MAX");
  const char *sig = getenv("FAKEQ_SIGNAL");
  const char *stop = getenv("FAKEQ_STOP_PARENT");
  const char *stop_at = getenv("FAKEQ_STOP_AT");
  const bool stop_early = stop_at && std::string(stop_at) == "message";
  record("message", slurp(0, max ? std::strtoull(max, nullptr, 10) : SIZE_MAX,
                          slow ? std::atoi(slow) : 0));
  if (stop && stop_early) kill(getppid(), std::atoi(stop));
  if (!max) record("envelope", slurp(1));
  if (stop && !stop_early) kill(getppid(), std::atoi(stop));
  if (sig) die_by(sig);
  _exit(code);
}
