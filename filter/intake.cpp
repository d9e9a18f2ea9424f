#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byte.h"
#include "error.h"
#include "exitcode.h"
#include "qmail-zelmd.h"
#include "str.h"
#include "timeoutio.h"
#include "writeall.h"

char message_buffer[MESSAGE_BUFFER_SIZE];
uint32_t message_len;
header_state message_header;
int isStream = 1;
int temp_fd = -1;
char workdir[128];
char workfile[192];
time_t start;
char mail_from[ADDR_SIZE];
stralloc envelope_items;
int spool_by_name;

namespace {
constexpr int timeout = 1200;

// Set once the working directory exists: from then on every end removes it.
// Read by the signal handler that cleans up.
volatile sig_atomic_t workdir_made = 0;

ssize_t saferead(int fd, char *buf, size_t len);

char ssinbuf[MESSAGE_BUFFER_SIZE];
char ssaddrbuf[512];
substdio ssin = SUBSTDIO_FDBUF(saferead, 0, ssinbuf, sizeof ssinbuf);
substdio ssaddrin = SUBSTDIO_FDBUF(saferead, 1, ssaddrbuf, sizeof ssaddrbuf);

ssize_t saferead(int fd, char *buf, size_t len) {
  for (;;) {
    const ssize_t r = timeoutread(timeout, fd, buf, len);
    if (r != -1) return r;
    // A handler that returned (SIGPIPE, SIGXFSZ) only interrupted the wait.
    if (errno == error_intr) continue;
    if (errno == error_timeout) die_alarm(fd);
    die(exit_config, "cannot read the %s: %s", fd ? "envelope" : "message", std::strerror(errno));
  }
}

int in(char *buf, int len) { return substdio_get(&ssin, buf, len); }
int addrin(char *buf, int len) { return substdio_get(&ssaddrin, buf, len); }

// A directory made here gets its mode whatever the umask, keeping the
// set-group-id bit it inherits from a spool directory set up for a daemon
// that reads the spool files through the group; one that is there already
// is taken as it is, and checked by the caller.
int make_dir(const char *path, mode_t mode) {
  if (mkdir(path, mode) == -1) return errno == error_exist ? 0 : -1;
  struct stat st;
  if (lstat(path, &st) == -1) return -1;
  return chmod(path, mode | (st.st_mode & S_ISGID));
}

// What is wrong with the configured spool directory.
char why[400];
__attribute__((format(printf, 1, 2))) const char *trouble(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(why, sizeof why, fmt, ap);
  va_end(ap);
  return why;
}

// This process's working directory in the configured spool directory,
// made; null, or what kept it from being used.
const char *spool_workdir(const char *root) {
  if (const char *bad = spool_dir_name(root, getpid(), workdir))
    return trouble("spool directory %s: %s", root, bad);
  if (make_dir(root, 0755) == -1)
    return trouble("cannot make spool directory %s: %s", root, std::strerror(errno));
  if (const char *bad = spool_dir_unsafe(root))
    return trouble("unsafe spool directory %s: %s", root, bad);
  if (make_dir(workdir, 0750) == -1)
    return trouble("cannot make working directory %s: %s", workdir, std::strerror(errno));
  if (const char *bad = spool_dir_unsafe(workdir))
    return trouble("unsafe working directory %s: %s", workdir, bad);
  return nullptr;
}

constexpr char spool_fix[] =
    "fix: name a directory of this user, not writable by others, in control/zelmd_spool_dir";

// A working directory to spool in. The configured one when it is safe;
// else, unless the daemon must find the file there, one of its own that
// nobody else can have made, so that nobody can stop large mail by
// planting something in the spool directory.
void make_workdir() {
  // A spool area that cannot be had is a local, passing trouble: 71.
  if (!stralloc_append(&zelmd_spool_dir, "")) die(exit_temp, "out of memory");
  const char *failed = spool_workdir(zelmd_spool_dir.s);
  if (failed) {
    if (spool_by_name) die(exit_temp, "%s; %s", failed, spool_fix);
    str_copy(workdir, "/tmp/qmail-zelmd.XXXXXX");
    if (!mkdtemp(workdir))
      die(exit_temp, "%s; cannot make a private spool directory in /tmp either: %s", failed,
          std::strerror(errno));
    str_copy(workdir + str_len(workdir), "/");
  }
  workdir_made = 1;
  if (failed) log_note("%s; spooled in %s instead (%s)", failed, workdir, spool_fix);
}

void dump_file(const char *buf, size_t len) {
  if (temp_fd == -1) {
    make_workdir();
    std::snprintf(workfile, sizeof workfile - 1, "%s/%d.msg", workdir, static_cast<int>(start));
    // Always a new file: never written through a link or into a file that
    // someone may have left, or hard-linked, in our place.
    if (unlink(workfile) == -1 && errno != error_noent)
      die(exit_temp, "cannot remove old spool file %s: %s", workfile, std::strerror(errno));
    temp_fd = open(workfile, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC,
                   0644);
    if (temp_fd == -1 || fchmod(temp_fd, 0644) == -1)
      die(exit_temp, "cannot create spool file %s: %s", workfile, std::strerror(errno));
  }
  if (writeall(temp_fd, buf, len) == -1)
    die(exit_temp, "cannot write spool file %s: %s", workfile, std::strerror(errno));
}
} // namespace

// A directory of the spool area is trusted only when nobody else can have
// planted it or write into it: a real directory of our own, closed to
// group and others.
const char *spool_dir_unsafe(const char *path) {
  // Without its trailing slash, so that lstat does not follow a link.
  char name[128];
  uint32_t n = 0;
  while (path[n] && n < sizeof name - 1) name[n] = path[n], ++n;
  name[n] = 0;
  while (n > 1 && name[n - 1] == '/') name[--n] = 0;
  struct stat st;
  if (lstat(name, &st) == -1) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  if (st.st_uid != geteuid()) return "owned by another user";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "writable by group or others";
  return nullptr;
}

const char *spool_dir_name(const char *root, long pid, char *dir) {
  if (root[0] != '/') return "not an absolute path";
  const int n = std::snprintf(dir, 127, "%s/%ld/", root, pid);
  if (n < 0 || n >= 127) return "path too long";
  return nullptr;
}

// Under qmail-smtpd descriptor 1 is the read end of the envelope pipe,
// and a peer that never reads would hold a blocking write for ever: one
// attempt, never waited for.
void out(const char *s) {
  const int flags = fcntl(1, F_GETFL);
  if (flags == -1 || fcntl(1, F_SETFL, flags | O_NONBLOCK) == -1) return;
  if (write(1, s, str_len(s)) < 0) {
  }
}

void exit_clean(int status) {
  if (workdir_made) {
    if (workfile[0]) unlink(workfile);
    rmdir(workdir);
  }
  _exit(status);
}

void die_alarm(int fd) {
  out("451 timeout (#4.4.2)\r\n");
  die(exit_config, "no %s within %d s", fd ? "envelope" : "message", timeout);
}

void header_scan(header_state *h, const char *buf, size_t len) {
  if (h->found) return;
  size_t pos = 0;
  while (pos < len) {
    if (h->line == header_state::mid) {
      const void *lf = std::memchr(buf + pos, '\n', len - pos);
      if (!lf) break;
      pos = static_cast<size_t>(static_cast<const char *>(lf) - buf) + 1;
      h->line = header_state::start;
      continue;
    }
    const char c = buf[pos];
    if (c == '\n') {
      // The CR of a "\r\n" line may have ended the previous chunk.
      h->end += pos;
      if (h->line == header_state::after_cr) --h->end;
      h->found = 1;
      return;
    }
    h->line =
        c == '\r' && h->line == header_state::start ? header_state::after_cr : header_state::mid;
    ++pos;
  }
  h->end += len;
}

int read_message() {
  uint32_t pos = 0;
  for (;;) {
    const int r = in(message_buffer + pos, MESSAGE_BUFFER_SIZE - static_cast<int>(pos));
    if (r == 0) break;
    pos += static_cast<uint32_t>(r);
    if (pos == MESSAGE_BUFFER_SIZE) break;
  }
  header_scan(&message_header, message_buffer, pos);
  if (pos < MESSAGE_BUFFER_SIZE) {
    message_len = pos;
    return 1;
  }
  // 32000 bytes or more: the whole message goes to the spool file.
  dump_file(message_buffer, MESSAGE_BUFFER_SIZE);
  while (ssin.pos > 0) {
    const int r = in(message_buffer, MESSAGE_BUFFER_SIZE);
    header_scan(&message_header, message_buffer, static_cast<size_t>(r));
    dump_file(message_buffer, static_cast<size_t>(r));
  }
  // The rest in reads as large as a pipe holds: each pipe-full of the
  // sender costs one read and one write.
  static char spill[1 << 16];
  for (;;) {
    const ssize_t r = saferead(0, spill, sizeof spill);
    if (r == 0) break;
    header_scan(&message_header, spill, static_cast<size_t>(r));
    dump_file(spill, static_cast<size_t>(r));
  }
  close(temp_fd);
  temp_fd = -1;
  message_len = 0;
  str_copy(message_buffer, workfile);
  return 0;
}

void read_address() {
  bool sender_seen = false;
  bool rcpt_seen = false;
  bool rcpt_nonempty = false;
  uint32_t item = 0;    // start of the item being read
  uint32_t scanned = 0; // bytes of that item known to hold no NUL
  envelope_items.len = 0;
  for (;;) {
    if (!stralloc_readyplus(&envelope_items, sizeof ssaddrbuf))
      die(exit_temp, "envelope of %u bytes: out of memory", envelope_items.len);
    const int r = addrin(envelope_items.s + envelope_items.len, sizeof ssaddrbuf);
    // As qmail-queue has it: a writer that went away before the closing
    // item did not mean to send this message.
    if (r == 0) die(exit_envelope_read, "envelope cut off before its end");
    envelope_items.len += static_cast<uint32_t>(r);
    for (;;) {
      const char *s = envelope_items.s;
      const uint32_t end = scanned + byte_chr(s + scanned, envelope_items.len - scanned, 0);
      scanned = end;
      if (end == envelope_items.len) break;
      if (end == item) {
        if (!rcpt_seen) die(exit_envelope_bad, "envelope ends before its first recipient");
        // Anything behind the closing item is not ours to pass on.
        envelope_items.len = item;
        if (!mail_from[0] && !rcpt_nonempty)
          die(exit_envelope_read, "envelope with neither sender nor recipient");
        return;
      }
      if (s[item] == 'F') {
        if (sender_seen) die(exit_envelope_bad, "envelope with a second sender");
        // Only the daemon and the log see this copy; it may be cut.
        uint32_t n = end - item - 1;
        if (n > ADDR_SIZE - 1) n = ADDR_SIZE - 1;
        byte_copy(mail_from, n, s + item + 1);
        mail_from[n] = 0;
        sender_seen = true;
      } else if (s[item] == 'T') {
        rcpt_seen = true;
        rcpt_nonempty |= end > item + 1;
      }
      item = scanned = end + 1;
    }
  }
}
