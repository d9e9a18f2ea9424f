#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
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
  const ssize_t r = timeoutread(timeout, fd, buf, len);
  if (r == -1) {
    if (errno == error_timeout) die_alarm(fd);
    die(exit_config, "cannot read the %s: %s", fd ? "envelope" : "message", std::strerror(errno));
  }
  return r;
}

int in(char *buf, int len) { return substdio_get(&ssin, buf, len); }
int addrin(char *buf, int len) { return substdio_get(&ssaddrin, buf, len); }

// A directory of the spool area is trusted only when nobody else can have
// planted it or write into it: a real directory of our own, closed to
// group and others. Null when it is, else what is wrong with it.
const char *unsafe_dir(const char *path) {
  // Without its trailing slash, so that lstat does not follow a link.
  char name[128];
  uint32_t n = str_copy(name, path);
  while (n > 1 && name[n - 1] == '/') name[--n] = 0;
  struct stat st;
  if (lstat(name, &st) == -1) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  if (st.st_uid != geteuid()) return "owned by another user";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "writable by group or others";
  return nullptr;
}

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

// Makes sure the shared spool area exists and is ours, and names this
// process's working directory in buffer.
void format_dir(char *buffer) {
  // A spool area that cannot be had is a local, passing trouble: 71.
  if (!stralloc_append(&zelmd_spool_dir, "")) die(exit_temp, "out of memory");
  const char *root = zelmd_spool_dir.s;
  if (root[0] != '/') die(exit_temp, "spool directory %s: not an absolute path", root);
  const int n = std::snprintf(buffer, 127, "%s/%d/", root, static_cast<int>(getpid()));
  if (n < 0 || n >= 127) die(exit_temp, "spool directory %s: path too long", root);
  if (make_dir(root, 0755) == -1)
    die(exit_temp, "cannot make spool directory %s: %s", root, std::strerror(errno));
  if (const char *why = unsafe_dir(root))
    die(exit_temp, "unsafe spool directory %s: %s", root, why);
}

void make_workdir() {
  if (make_dir(workdir, 0750) == -1)
    die(exit_temp, "cannot make working directory %s: %s", workdir, std::strerror(errno));
  if (const char *why = unsafe_dir(workdir))
    die(exit_temp, "unsafe working directory %s: %s", workdir, why);
  workdir_made = 1;
}

void dump_file(const char *buf, size_t len) {
  if (temp_fd == -1) {
    format_dir(workdir);
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
  bool first_rcpt_empty = true;
  uint32_t item = 0;    // start of the item being read
  uint32_t scanned = 0; // bytes of that item known to hold no NUL
  envelope_items.len = 0;
  for (;;) {
    if (!stralloc_readyplus(&envelope_items, sizeof ssaddrbuf))
      die(exit_temp, "envelope of %u bytes: out of memory", envelope_items.len);
    const int r = addrin(envelope_items.s + envelope_items.len, sizeof ssaddrbuf);
    if (r == 0) break;
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
        goto closed;
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
        if (!rcpt_seen) first_rcpt_empty = end == item + 1;
        rcpt_seen = true;
      }
      item = scanned = end + 1;
    }
  }
  envelope_items.len = item; // an item cut off by the end of input is dropped
closed:
  if (!mail_from[0] && first_rcpt_empty)
    die(exit_envelope_read, "envelope with neither sender nor recipient");
}
