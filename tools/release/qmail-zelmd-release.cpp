// qmail-zelmd-release: hands each message kept in the quarantine folder,
// with its own envelope, to the queue program the filter hands on to, as
// the user it runs as, and removes each file the queue program took.
// Exit 0 when all were released, 1 when any was not, 2 for usage.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auto_qmail.h"
#include "error.h"
#include "exitcode.h"
#include "fd.h"
#include "qmail.h"
#include "setup.h"
#include "quarantine_file.h"
#include "safe.h"
#include "str.h"

namespace {
const char *program; // the queue program, as the filter names it
int start = -1;      // the directory it was started in, where FILE names lead
sigset_t stops;      // signals that would end it

__attribute__((format(printf, 2, 3))) int not_released(const char *file, const char *fmt, ...) {
  std::fprintf(stderr, "qmail-zelmd-release: %s: not released: ", file);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  return 1;
}

// The pipes close before the envelope's end: the queue program queues
// nothing.
void abandon(qmail_handle *qq) {
  close(qq->fd_message);
  close(qq->fd_envelope);
  int wstat;
  wait_pid(&wstat, qq->pid);
}

// What became of the hand-off: null when the queue program took it.
const char *outcome(const qmail_handle &qq, int waited, char *why, size_t size) {
  if (waited == -1)
    std::snprintf(why, size, "queue program %s could not be waited for", program);
  else if (!WIFEXITED(qq.wstat))
    std::snprintf(why, size, "queue program %s killed by signal %d", program, WTERMSIG(qq.wstat));
  else if (WEXITSTATUS(qq.wstat) == exit_home)
    std::snprintf(why, size, "queue program could not enter %s", auto_qmail);
  else if (WEXITSTATUS(qq.wstat) == exit_exec)
    std::snprintf(why, size, "queue program %s could not be started", program);
  else if (WEXITSTATUS(qq.wstat) != exit_ok)
    std::snprintf(why, size, "queue program %s exited %d", program, WEXITSTATUS(qq.wstat));
  else if (qq.flag_error)
    std::snprintf(why, size, "queue program %s did not take the whole message and envelope",
                  program);
  else
    return nullptr;
  return why;
}

// The line for a released message: its size, sender and recipients.
void say_released(const char *file, const quarantine_info &q) {
  char sender[256] = "";
  unsigned rcpts = 0;
  for (uint32_t at = 0; at + 1 < q.envelope.len;) {
    const std::string_view item(q.envelope.s + at, str_len(q.envelope.s + at));
    at += static_cast<uint32_t>(item.size()) + 1;
    if (item[0] == 'F') safe_copy(sender, sizeof sender, {item.data() + 1, item.size() - 1}, false);
    rcpts += item[0] == 'T';
  }
  std::printf("%s: released, %llu bytes from <%s> to %u recipient%s\n", file,
              static_cast<unsigned long long>(q.message_len), sender, rcpts, rcpts == 1 ? "" : "s");
  std::fflush(stdout);
}

int release(const char *file) {
  const fd_owner fd(openat(start, file, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!fd.ok() && errno == ELOOP)
    return not_released(file, "not a quarantine file: a symbolic link");
  if (!fd.ok()) return not_released(file, "cannot open: %s", std::strerror(errno));
  // Held until the file is gone: a second run on the same file gives up
  // at once instead of queueing it too.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) == -1)
    return not_released(file, "%s",
                        errno == EWOULDBLOCK ? "another release has it" : std::strerror(errno));
  static quarantine_info q;
  if (quarantine_read(fd.get(), &q) == -1)
    return not_released(file, "%s", q.why ? q.why : std::strerror(errno));
  struct stat st;
  if (fstat(fd.get(), &st) == -1)
    return not_released(file, "cannot read: %s", std::strerror(errno));
  if (st.st_nlink == 0) return not_released(file, "already released");
  // A file left behind once the queue program took it would be released
  // again: it must be removable before anything is sent.
  const std::string name(file);
  const size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash ? name.substr(0, slash) : "/";
  if (faccessat(start, dir.c_str(), W_OK | X_OK, AT_EACCESS) == -1)
    return not_released(file, "it could not be removed afterwards: %s: %s", dir.c_str(),
                        std::strerror(errno));

  qmail_handle qq;
  if (qmail_open(&qq, program) == -1)
    return not_released(file, "cannot start queue program %s: %s", program, std::strerror(errno));
  // Exactly the bytes that were checked, from the descriptor that was.
  static char buf[1 << 16];
  for (uint64_t done = 0; done < q.message_len;) {
    const uint64_t left = q.message_len - done;
    const ssize_t r = pread(fd.get(), buf, left < sizeof buf ? left : sizeof buf,
                            static_cast<off_t>(q.message_at + done));
    if (r == -1 && errno == error_intr) continue;
    if (r <= 0) {
      const int e = errno;
      abandon(&qq);
      return not_released(file, "cannot read: %s", r ? std::strerror(e) : "it got shorter");
    }
    qmail_put(&qq, buf, static_cast<int>(r));
    done += static_cast<uint64_t>(r);
  }
  qmail_envelope(&qq, q.envelope.s, q.envelope.len - 1);
  // From the closing byte until the file is gone, a stop signal waits:
  // a message queued must not stay behind as well.
  sigset_t old;
  sigprocmask(SIG_BLOCK, &stops, &old);
  while (qmail_commit(&qq) == -1 && errno == error_intr) {
  }
  char why[512];
  int failed = 0;
  struct stat now;
  if (const char *w = outcome(qq, qmail_close(&qq), why, sizeof why)) {
    failed = not_released(file, "%s", w);
  } else if (fstatat(start, file, &now, AT_SYMLINK_NOFOLLOW) == -1 || now.st_dev != st.st_dev ||
             now.st_ino != st.st_ino) {
    std::fprintf(stderr,
                 "qmail-zelmd-release: %s: released, but the name now leads to another "
                 "file, left as it is\n",
                 file);
    failed = 1;
  } else if (unlinkat(start, file, 0) == -1) {
    std::fprintf(stderr,
                 "qmail-zelmd-release: %s: released, but cannot be removed: %s; remove "
                 "it, or it will be released again\n",
                 file, std::strerror(errno));
    failed = 1;
  } else {
    say_released(file, q);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return failed;
}

void interrupted(int) {}
} // namespace

int main(int argc, char **argv) {
  const char *home = auto_qmail;
  bool usage = false;
  for (int opt; (opt = getopt(argc, argv, "d:")) != -1;) {
    if (opt == 'd')
      home = optarg;
    else
      usage = true;
  }
  if (usage || optind == argc) {
    std::fprintf(stderr, "usage: qmail-zelmd-release [-d qmail-home] file ...\n");
    return 2;
  }
  // A queue program that goes away makes a failed write, not our end;
  // caught rather than ignored, so that the queue program starts with
  // the default.
  struct sigaction sa = {};
  sa.sa_handler = interrupted;
  sigaction(SIGPIPE, &sa, nullptr);
  sigemptyset(&stops);
  for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&stops, sig);

  start = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (start == -1) {
    std::fprintf(stderr, "qmail-zelmd-release: cannot open the current directory: %s\n",
                 std::strerror(errno));
    return 1;
  }
  if (chdir(home) == -1) {
    std::fprintf(stderr, "qmail-zelmd-release: cannot enter the qmail home %s: %s\n", home,
                 std::strerror(errno));
    return 1;
  }
  static settings s;
  for (const control_setting &c : control_settings) {
    if (str_diff(c.file, "control/zelmd_queue_binary")) continue;
    if (setting_read(c, &s) == -1 || !stralloc_append(&s.zelmd_queue_binary, "")) {
      std::fprintf(stderr, "qmail-zelmd-release: cannot read %s: %s\n", c.file,
                   std::strerror(errno));
      return 1;
    }
  }
  program = s.zelmd_queue_binary.s;
  // What the filter's queue program sees: QMAILQUEUE naming itself.
  if (setenv("QMAILQUEUE", program, 1) == -1) {
    std::fprintf(stderr, "qmail-zelmd-release: cannot set QMAILQUEUE: %s\n", std::strerror(errno));
    return 1;
  }
  int failed = 0;
  for (int i = optind; i < argc; ++i) failed |= release(argv[i]);
  return failed;
}
