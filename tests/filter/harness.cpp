#include "harness.h"

#include <algorithm>
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
#include <spawn.h>
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

std::string qmail_home::policy(const std::string &text) const {
  control("zelmd_policy", text);
  const std::string cmd = std::string(ZELMD_POLICY) + " -d " + home.string() + " 2>&1";
  std::string out;
  FILE *f = popen(cmd.c_str(), "r");
  if (!f) return "cannot run " + cmd;
  char buf[1024];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  return pclose(f) == 0 ? "" : out.empty() ? "failed" : out;
}

void qmail_home::reads_every_message() const {
  const std::string why = policy("classified.invalid:check=1\n");
  if (!why.empty()) throw std::runtime_error(why);
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
                   st_callback, st_close, st_exec, st_tmpfs };

[[noreturn]] void child_fail(int errfd, int where) {
  const int report[2] = {where, errno};
  if (write(errfd, report, sizeof report) < 0) {
  }
  _exit(127);
}

// The build tree holds the binaries, the homes and the queue records. When
// it lies under /tmp itself, a run's private /tmp must show it again at
// the same path: this is its top directory there, or empty.
std::string build_top_in_tmp() {
  const std::string tree = ZELMD_BUILD_TREE;
  if (tree.rfind("/tmp/", 0) != 0) return "";
  const size_t end = tree.find('/', 5);
  return tree.substr(0, end);
}

struct child_args {
  const std::string *home;
  const std::string *tmp;
  const std::string *keep; // build_top_in_tmp()
  const filter_run *run;
  int fd0, fd1, errfd;
  char *const *argv;
  char *const *envp;
};

bool own_namespace(const filter_run &r) {
  return r.private_tmp || !r.binds.empty() || !r.tmpfs.empty();
}

[[noreturn]] void child(const child_args &a) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (a.run->sigpipe_default) signal(SIGPIPE, SIG_DFL);
  if (own_namespace(*a.run)) {
    if (unshare(CLONE_NEWNS) != 0) child_fail(a.errfd, st_unshare);
    // Keep the mounts below from showing up outside.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      child_fail(a.errfd, st_private);
    if (a.run->private_tmp) {
      const int keep = a.keep->empty() ? -1 : open(a.keep->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (!a.keep->empty() && keep < 0) child_fail(a.errfd, st_bind);
      if (mount(a.tmp->c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0)
        child_fail(a.errfd, st_bind);
      if (keep >= 0) {
        char source[32] = "/proc/self/fd/";
        char digits[12];
        int n = 0;
        for (int v = keep; v > 0 || n == 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
        size_t at = strlen(source);
        while (n > 0) source[at++] = digits[--n];
        source[at] = 0;
        if ((mkdir(a.keep->c_str(), 0755) != 0 && errno != EEXIST) ||
            mount(source, a.keep->c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
          child_fail(a.errfd, st_bind);
        close(keep);
      }
    }
    for (const auto &[from, to] : a.run->binds)
      if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
        child_fail(a.errfd, st_bind);
    for (const auto &[to, options] : a.run->tmpfs)
      if (mount("tmpfs", to.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        child_fail(a.errfd, st_tmpfs);
  }
  if (dup2(a.fd0, 0) != 0) child_fail(a.errfd, st_fd0);
  if (dup2(a.fd1, 1) != 1) child_fail(a.errfd, st_fd1);
  if (a.run->fd6 >= 0 && dup2(a.run->fd6, 6) != 6) child_fail(a.errfd, st_fd1);
  if (chdir(a.home->c_str()) != 0) child_fail(a.errfd, st_chdir);
  if (a.run->in_child && !a.run->in_child()) child_fail(a.errfd, st_callback);
  // Close-on-exec rather than closed, so the error pipe lasts until exec.
  const bool keep6 = a.run->fd6 >= 0;
  if (close_range(3, keep6 ? 5 : ~0U, CLOSE_RANGE_CLOEXEC) != 0 ||
      (keep6 && close_range(7, ~0U, CLOSE_RANGE_CLOEXEC) != 0))
    child_fail(a.errfd, st_close);
  execve(a.argv[0], a.argv, a.envp);
  child_fail(a.errfd, st_exec);
}

// With no namespace or callback there is nothing to set up that
// posix_spawn cannot do, and it spares copying the test process, which is
// large under the sanitizers: many filters start in a fraction of the time.
pid_t spawn(const child_args &a) {
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t at;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&at);
  posix_spawn_file_actions_adddup2(&fa, a.fd0, 0);
  posix_spawn_file_actions_adddup2(&fa, a.fd1, 1);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawn_file_actions_addchdir_np(&fa, a.home->c_str());
  sigset_t none, pipe_only;
  sigemptyset(&none);
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &pipe_only);
  const int flags =
      POSIX_SPAWN_SETSIGMASK | (a.run->sigpipe_default ? POSIX_SPAWN_SETSIGDEF : 0);
  posix_spawnattr_setflags(&at, static_cast<short>(flags));
  pid_t pid;
  const int err = posix_spawn(&pid, a.argv[0], &fa, &at, a.argv, a.envp);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  errno = err;
  return err ? -1 : pid;
}

// Harness descriptors are kept above 9, so that moving them onto 0, 1 and
// 6 in the child cannot clobber one another.
fd_owner high(int fd) {
  if (fd < 0 || fd > 9) return fd_owner(fd);
  fd_owner moved(fcntl(fd, F_DUPFD_CLOEXEC, 10));
  close(fd);
  return moved;
}

void nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// One filter process while the harness feeds it and collects its output.
struct running {
  const filter_run *run = nullptr;
  filter_result res;
  fd_owner pidfd, in_w, sock;
  size_t msg_off = 0, env_off = 0;
  bool env_done = true, sock_eof = true;
  bool live = false; // started and not yet reaped
};

void reap(running &f) {
  int st = 0;
  while (waitpid(f.res.pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st)) f.res.code = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) f.res.signal = WTERMSIG(st);
  f.live = false;
  f.pidfd.reset();
  f.in_w.reset();
  f.sock.reset();
}

// Starts the filter with its descriptors in place; on failure reports it
// and leaves f not live.
void start(const qmail_home &h, const filter_run &r, running &f) {
  f.run = &r;
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

  fd_owner in_r, sock_child, err_r, err_w;
  int p[2];
  if (r.fd0 < 0) {
    if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    in_r = high(p[0]);
    f.in_w = high(p[1]);
  }
  if (r.fd1 < 0) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p) != 0)
      throw std::runtime_error("socketpair");
    f.sock = high(p[0]);
    sock_child = high(p[1]);
  }
  static const std::string keep = build_top_in_tmp();
  const child_args a{&home, &tmp, &keep, &r, r.fd0 >= 0 ? r.fd0 : in_r.get(),
                     r.fd1 >= 0 ? r.fd1 : sock_child.get(), -1, argv, envp.data()};
  pid_t pid;
  if (!own_namespace(r) && !r.in_child && r.fd6 < 0) {
    pid = spawn(a);
    if (pid < 0) {
      ADD_FAILURE() << "starting the filter failed: " << strerror(errno);
      f.in_w.reset();
      f.sock.reset();
      return;
    }
  } else {
    if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    err_r = high(p[0]);
    err_w = high(p[1]);
    child_args with_err = a;
    with_err.errfd = err_w.get();
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) child(with_err);
  }
  f.res.pid = pid;
  f.res.workdir = (r.private_tmp ? h.tmp / "qmail-zelmd" : fs::path("/tmp/qmail-zelmd")) /
                  std::to_string(pid);
  f.live = true;
  in_r.reset();
  sock_child.reset();
  err_w.reset();

  // End of file here means the exec went through.
  if (err_r.ok()) {
    int report[2];
    ssize_t got;
    while ((got = read(err_r.get(), report, sizeof report)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof report)) {
      reap(f);
      ADD_FAILURE() << "starting the filter failed at step " << report[0] << ": "
                    << strerror(report[1]);
      return;
    }
  }

  f.pidfd = fd_owner(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!f.pidfd.ok()) {
    ADD_FAILURE() << "pidfd_open: " << strerror(errno);
    kill(pid, SIGKILL);
    reap(f);
    return;
  }
  // The filter waits for its message on the pipe, so its namespace is
  // still there to be held.
  if (r.keep_mounts) {
    const int ns = open(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(),
                        O_RDONLY | O_CLOEXEC);
    if (ns < 0 || !own_namespace(r) || r.fd0 >= 0)
      ADD_FAILURE() << "cannot keep the mount namespace";
    if (ns >= 0) f.res.mounts = std::shared_ptr<const int>(new int(ns), [](const int *fd) {
      close(*fd);
      delete fd;
    });
  }
  if (f.in_w.ok()) nonblocking(f.in_w.get());
  if (f.sock.ok()) nonblocking(f.sock.get());
  f.env_done = !f.sock.ok();
  f.sock_eof = !f.sock.ok();
}

void read_output(running &f) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(f.sock.get(), buf, sizeof buf);
    if (n > 0) {
      f.res.output.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) f.sock_eof = true;
    if (n == 0 || errno != EINTR) return;
  }
}

// Where a live filter's descriptors sit in the poll set; -1 for none.
struct slots {
  running *f;
  int pid, msg, sock;
};

slots want(running &f, std::vector<pollfd> &fds) {
  slots s{&f, -1, -1, -1};
  s.pid = static_cast<int>(fds.size());
  fds.push_back({f.pidfd.get(), POLLIN, 0});
  if (f.in_w.ok()) {
    s.msg = static_cast<int>(fds.size());
    fds.push_back({f.in_w.get(), POLLOUT, 0});
  }
  const bool send_env = !f.in_w.ok() && !f.env_done;
  if (f.sock.ok() && (!f.sock_eof || send_env)) {
    s.sock = static_cast<int>(fds.size());
    fds.push_back({f.sock.get(),
                   static_cast<short>((f.sock_eof ? 0 : POLLIN) | (send_env ? POLLOUT : 0)), 0});
  }
  return s;
}

void serve(const slots &s, const std::vector<pollfd> &fds) {
  running &f = *s.f;
  const filter_run &r = *f.run;
  if (s.msg >= 0 && fds[s.msg].revents) {
    const ssize_t w = write(f.in_w.get(), r.message.data() + f.msg_off,
                            std::min<size_t>(r.message.size() - f.msg_off, 1 << 20));
    if (w > 0) f.msg_off += static_cast<size_t>(w);
    // A reader that has gone (EPIPE) ends the message as well.
    if ((w < 0 && errno != EAGAIN && errno != EINTR) || f.msg_off == r.message.size())
      f.in_w.reset();
  }
  const short sock_ev = s.sock >= 0 ? fds[s.sock].revents : 0;
  if (sock_ev & (POLLIN | POLLHUP | POLLERR)) read_output(f);
  if (s.sock >= 0 && !f.in_w.ok() && !f.env_done && (sock_ev & POLLOUT)) {
    const ssize_t w = send(f.sock.get(), r.envelope.data() + f.env_off,
                           r.envelope.size() - f.env_off, MSG_NOSIGNAL);
    if (w > 0) f.env_off += static_cast<size_t>(w);
    if ((w < 0 && errno != EAGAIN && errno != EINTR) || f.env_off == r.envelope.size()) {
      f.env_done = true;
      shutdown(f.sock.get(), SHUT_WR); // qmail closes the envelope once written
    }
  }
  if (fds[s.pid].revents) { // the filter has ended
    if (f.sock.ok() && !f.sock_eof) read_output(f);
    reap(f);
  }
}

void drive(std::vector<running> &all, int deadline_seconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(deadline_seconds);
  std::vector<pollfd> fds;
  std::vector<slots> where;
  for (;;) {
    fds.clear();
    where.clear();
    for (running &f : all)
      if (f.live) where.push_back(want(f, fds));
    if (where.empty()) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << where.size() << " filter(s) did not end within " << deadline_seconds
                    << " s";
      for (const slots &s : where) {
        kill(s.f->res.pid, SIGKILL);
        reap(*s.f);
      }
      return;
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << strerror(errno);
      for (const slots &s : where) {
        kill(s.f->res.pid, SIGKILL);
        reap(*s.f);
      }
      return;
    }
    for (const slots &s : where) serve(s, fds);
  }
}

} // namespace

filter_result run_filter(const qmail_home &h, const filter_run &r) {
  return run_filters({&h}, {r})[0];
}

std::vector<filter_result> run_filters(const std::vector<const qmail_home *> &homes,
                                       const std::vector<filter_run> &runs) {
  // Our own writes into a filter that has gone must not kill the test, and
  // the filters inherit it ignored, as qmail-smtpd leaves it.
  signal(SIGPIPE, SIG_IGN);
  std::vector<running> all(runs.size());
  int deadline = 0;
  try {
    for (size_t i = 0; i < runs.size(); ++i) {
      start(*homes.at(i), runs[i], all[i]);
      deadline = std::max(deadline, runs[i].deadline_seconds);
    }
  } catch (...) {
    // None of those already started may outlive the failure.
    for (running &f : all)
      if (f.live) {
        kill(f.res.pid, SIGKILL);
        reap(f);
      }
    throw;
  }
  drive(all, deadline);
  std::vector<filter_result> res;
  for (running &f : all) res.push_back(std::move(f.res));
  return res;
}

std::optional<std::vector<std::string>> entries_below(const filter_result &r,
                                                      const std::string &dir) {
  if (!r.mounts) return std::nullopt;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return std::nullopt;
  fd_owner out(p[0]), in(p[1]);
  const pid_t pid = fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    // A process of its own: joining a mount namespace takes one thread.
    if (setns(*r.mounts, CLONE_NEWNS) != 0) _exit(1);
    std::error_code ec;
    std::string list;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      list += it->path().lexically_relative(dir).string() + '\0';
    for (size_t off = 0; off < list.size();) {
      const ssize_t w = write(in.get(), list.data() + off, list.size() - off);
      if (w <= 0) _exit(1);
      off += static_cast<size_t>(w);
    }
    _exit(ec ? 1 : 0);
  }
  in.reset();
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = read(out.get(), buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return std::nullopt;
  std::vector<std::string> entries;
  for (size_t at = 0; at < got.size();) {
    const size_t end = got.find('\0', at);
    entries.push_back(got.substr(at, end - at));
    at = end + 1;
  }
  return entries;
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
