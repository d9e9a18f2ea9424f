#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fd.h"

namespace fs = std::filesystem;

qmail_home::qmail_home() {
  fs::create_directories(ZELMD_SCRATCH);
  std::string tmpl = std::string(ZELMD_SCRATCH) + "/home-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  root = tmpl;
  home = root / "home";
  queue = root / "queue";
  tmp = root / "tmp";
  fs::create_directories(home / "control");
  fs::create_directories(queue);
  fs::create_directories(tmp);
  fs::permissions(tmp, fs::perms::all | fs::perms::sticky_bit);
  control("zelmd_queue_binary", std::string(FAKE_QUEUE) + "\n");
}

qmail_home::~qmail_home() {
  std::error_code ec;
  fs::remove_all(root, ec);
}

void qmail_home::control(const std::string &name, const std::string &content) const {
  const fs::path p = home / "control" / name;
  std::error_code ec;
  fs::remove_all(p, ec);
  std::ofstream(p, std::ios::binary) << content;
}

void qmail_home::unreadable_control(const std::string &name) const {
  // A directory cannot be read as a file, even by root.
  const fs::path p = home / "control" / name;
  std::error_code ec;
  fs::remove_all(p, ec);
  fs::create_directory(p);
}

std::optional<std::string> qmail_home::record(const std::string &name) const {
  std::ifstream f(queue / name, std::ios::binary);
  if (!f) return std::nullopt;
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::ostream &operator<<(std::ostream &os, const filter_result &r) {
  os << "pid " << r.pid;
  if (r.code >= 0) os << ", exit " << r.code;
  if (r.signal) os << ", signal " << r.signal;
  return os << ", output \"" << r.output << '"';
}

std::string envelope(const std::vector<std::string> &items, bool closed) {
  std::string e;
  for (const auto &i : items) {
    e += i;
    e += '\0';
  }
  if (closed) e += '\0';
  return e;
}

std::string queue_envelope(const std::string &from, const std::vector<std::string> &to) {
  std::vector<std::string> items{"F" + from};
  for (const auto &t : to) items.push_back("T" + t);
  return envelope(items);
}

testing::AssertionResult same_bytes(const std::optional<std::string> &got,
                                    const std::string &want) {
  if (!got) return testing::AssertionFailure() << "nothing recorded";
  if (*got == want) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < got->size() && i < want.size() && (*got)[i] == want[i]) ++i;
  return testing::AssertionFailure() << "got " << got->size() << " bytes, want "
                                     << want.size() << "; first difference at " << i;
}

namespace {

// Child set-up steps, reported back through the error pipe.
enum stage : int { st_unshare = 1, st_private, st_bind, st_fd0, st_fd1, st_chdir,
                   st_callback, st_close, st_exec };

[[noreturn]] void child_fail(int errfd, int where) {
  const int report[2] = {where, errno};
  if (write(errfd, report, sizeof report) < 0) {
  }
  _exit(127);
}

struct child_args {
  const std::string *home;
  const std::string *tmp;
  const filter_run *run;
  int fd0, fd1, errfd;
  char *const *argv;
  char *const *envp;
};

[[noreturn]] void child(const child_args &a) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (a.run->sigpipe_default) signal(SIGPIPE, SIG_DFL);
  if (a.run->private_tmp || !a.run->binds.empty()) {
    if (unshare(CLONE_NEWNS) != 0) child_fail(a.errfd, st_unshare);
    // Keep the mounts below from showing up outside.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      child_fail(a.errfd, st_private);
    if (a.run->private_tmp && mount(a.tmp->c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0)
      child_fail(a.errfd, st_bind);
    for (const auto &[from, to] : a.run->binds)
      if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
        child_fail(a.errfd, st_bind);
  }
  if (dup2(a.fd0, 0) != 0) child_fail(a.errfd, st_fd0);
  if (dup2(a.fd1, 1) != 1) child_fail(a.errfd, st_fd1);
  if (chdir(a.home->c_str()) != 0) child_fail(a.errfd, st_chdir);
  if (a.run->in_child && !a.run->in_child()) child_fail(a.errfd, st_callback);
  // Close-on-exec rather than closed, so the error pipe lasts until exec.
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) child_fail(a.errfd, st_close);
  execve(a.argv[0], a.argv, a.envp);
  child_fail(a.errfd, st_exec);
}

// Harness descriptors are kept above 2, so that moving them onto 0 and 1
// in the child cannot clobber one another.
fd_owner high(int fd) {
  if (fd < 0 || fd > 2) return fd_owner(fd);
  fd_owner moved(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  close(fd);
  return moved;
}

void nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

} // namespace

filter_result run_filter(const qmail_home &h, const filter_run &r) {
  // Our own writes into a filter that has gone must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  filter_result res;

  std::vector<std::string> env = r.env;
  env.push_back("FAKEQ_DIR=" + h.queue.string());
  for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char *v = getenv(name)) env.push_back(std::string(name) + "=" + v);
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string bin = ZELMD_BINARY;
  char *const argv[] = {bin.data(), nullptr};
  const std::string home = h.home.string();
  const std::string tmp = h.tmp.string();

  fd_owner in_r, in_w, sock, sock_child, err_r, err_w;
  int p[2];
  if (r.fd0 < 0) {
    if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    in_r = high(p[0]);
    in_w = high(p[1]);
  }
  if (r.fd1 < 0) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p) != 0)
      throw std::runtime_error("socketpair");
    sock = high(p[0]);
    sock_child = high(p[1]);
  }
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  err_r = high(p[0]);
  err_w = high(p[1]);

  const child_args a{&home, &tmp, &r, r.fd0 >= 0 ? r.fd0 : in_r.get(),
                     r.fd1 >= 0 ? r.fd1 : sock_child.get(), err_w.get(), argv,
                     envp.data()};
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) child(a);
  res.pid = pid;
  res.workdir = (r.private_tmp ? h.tmp / "qmail-zelmd" : fs::path("/tmp/qmail-zelmd")) /
                std::to_string(pid);
  in_r.reset();
  sock_child.reset();
  err_w.reset();

  // End of file here means the exec went through.
  int report[2];
  ssize_t got;
  while ((got = read(err_r.get(), report, sizeof report)) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof report)) {
    int st;
    waitpid(pid, &st, 0);
    ADD_FAILURE() << "starting the filter failed at step " << report[0] << ": "
                  << strerror(report[1]);
    return res;
  }

  fd_owner pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd.ok()) {
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
    ADD_FAILURE() << "pidfd_open: " << strerror(errno);
    return res;
  }
  if (in_w.ok()) nonblocking(in_w.get());
  if (sock.ok()) nonblocking(sock.get());

  size_t msg_off = 0, env_off = 0;
  bool env_done = !sock.ok();
  bool sock_eof = !sock.ok();
  char buf[65536];
  auto read_output = [&] {
    for (;;) {
      const ssize_t n = read(sock.get(), buf, sizeof buf);
      if (n > 0) {
        res.output.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EINTR && errno != EAGAIN)) sock_eof = true;
      if (n == 0 || errno != EINTR) return;
    }
  };

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(r.deadline_seconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "the filter did not end within " << r.deadline_seconds << " s";
      break;
    }
    pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = {pidfd.get(), POLLIN, 0};
    const nfds_t msg_i = in_w.ok() ? n++ : 0;
    if (msg_i) fds[msg_i] = {in_w.get(), POLLOUT, 0};
    nfds_t sock_i = 0;
    if (sock.ok() && (!sock_eof || (!in_w.ok() && !env_done))) {
      sock_i = n++;
      fds[sock_i] = {sock.get(),
                     static_cast<short>((sock_eof ? 0 : POLLIN) |
                                        (!in_w.ok() && !env_done ? POLLOUT : 0)),
                     0};
    }
    if (poll(fds, n, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << strerror(errno);
      kill(pid, SIGKILL);
      break;
    }
    if (msg_i && fds[msg_i].revents) {
      const ssize_t w = write(in_w.get(), r.message.data() + msg_off,
                              std::min<size_t>(r.message.size() - msg_off, 1 << 20));
      if (w > 0) msg_off += static_cast<size_t>(w);
      // A reader that has gone (EPIPE) ends the message as well.
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || msg_off == r.message.size())
        in_w.reset();
    }
    if (sock_i && (fds[sock_i].revents & (POLLIN | POLLHUP | POLLERR))) read_output();
    if (sock_i && !in_w.ok() && !env_done && (fds[sock_i].revents & POLLOUT)) {
      const ssize_t w = send(sock.get(), r.envelope.data() + env_off,
                             r.envelope.size() - env_off, MSG_NOSIGNAL);
      if (w > 0) env_off += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || env_off == r.envelope.size()) {
        env_done = true;
        shutdown(sock.get(), SHUT_WR); // qmail closes the envelope once written
      }
    }
    if (fds[0].revents) break; // the filter has ended
  }
  if (sock.ok() && !sock_eof) read_output();

  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st)) res.code = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) res.signal = WTERMSIG(st);
  return res;
}

bool can_isolate() {
  static const bool ok = [] {
    if (geteuid() != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      _exit(unshare(CLONE_NEWNS) == 0 &&
                    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                ? 0
                : 1);
    }
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
  }();
  return ok;
}
