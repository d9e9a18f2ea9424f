#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "byte.h"
#include "error.h"
#include "exitcode.h"
#include "qmail-zelmd.h"
#include "str.h"
#include "timeoutio.h"
#include "writeall.h"

char message_buffer[MESSAGE_BUFFER_SIZE];
uint32_t message_len;
int header_len;
int isStream = 1;
int temp_fd = -1;
char workdir[128];
char workfile[192];
time_t start;
char mail_from[ADDR_SIZE];
char rcpt_to[MAX_RCPT][ADDR_SIZE];
int max_rcpt_to;

namespace {
constexpr char SPOOL_ROOT[] = "/tmp/qmail-zelmd/";
constexpr int timeout = 1200;

// Set once the working directory exists: from then on every end removes it.
bool workdir_made = false;

char addr_buffer[ADDR_SIZE];

ssize_t saferead(int fd, char *buf, size_t len);
ssize_t safewrite(int fd, char *buf, size_t len);

char ssinbuf[MESSAGE_BUFFER_SIZE];
char ssoutbuf[512];
substdio ssin = SUBSTDIO_FDBUF(saferead, 0, ssinbuf, sizeof ssinbuf);
substdio ssaddrin = SUBSTDIO_FDBUF(saferead, 1, ssoutbuf, sizeof ssoutbuf);

ssize_t saferead(int fd, char *buf, size_t len) {
  flush();
  const ssize_t r = timeoutread(timeout, fd, buf, len);
  if (r == -1) {
    if (errno == error_timeout) die_alarm();
    die_read();
  }
  return r;
}

ssize_t safewrite(int fd, char *buf, size_t len) {
  const ssize_t r = timeoutwrite(timeout, fd, buf, len);
  if (r <= 0) exit_clean(exit_config);
  return r;
}

int in(char *buf, int len) { return substdio_get(&ssin, buf, len); }
int addrin(char *buf, int len) { return substdio_get(&ssaddrin, buf, len); }

// A directory of the spool area is trusted only when nobody else can have
// planted it or write into it: a real directory of our own, closed to
// group and others.
bool safe_dir(const char *path) {
  // Without its trailing slash, so that lstat does not follow a link.
  char name[128];
  uint32_t n = str_copy(name, path);
  while (n > 1 && name[n - 1] == '/') name[--n] = 0;
  struct stat st;
  if (lstat(name, &st) == -1) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// Makes sure the shared spool area exists and is ours, and names this
// process's working directory in buffer.
void format_dir(char *buffer) {
  // A spool area that cannot be had is a local, passing trouble: 71.
  if (mkdir(SPOOL_ROOT, 0755) == -1 && errno != error_exist) exit_clean(exit_temp);
  if (!safe_dir(SPOOL_ROOT)) exit_clean(exit_temp);
  std::snprintf(buffer, 127, "%s%d/", SPOOL_ROOT, static_cast<int>(getpid()));
}

void make_workdir() {
  if (mkdir(workdir, 0750) == -1 && errno != error_exist) exit_clean(exit_temp);
  if (!safe_dir(workdir)) exit_clean(exit_temp);
  workdir_made = true;
}

void dump_file(const char *buf, size_t len) {
  if (temp_fd == -1) {
    format_dir(workdir);
    make_workdir();
    std::snprintf(workfile, sizeof workfile - 1, "%s/%d.msg", workdir, static_cast<int>(start));
    // Never through a link someone may have left in our place.
    temp_fd = open(workfile, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC,
                   0644);
    if (temp_fd == -1) exit_clean(exit_temp);
  }
  if (writeall(temp_fd, buf, len) == -1) exit_clean(exit_temp);
}
} // namespace

substdio ssout = SUBSTDIO_FDBUF(safewrite, 1, ssoutbuf, sizeof ssoutbuf);

void out(const char *s) { substdio_puts(&ssout, s); }

void flush() { substdio_flush(&ssout); }

void exit_clean(int status) {
  if (workdir_made) {
    if (workfile[0]) unlink(workfile);
    rmdir(workdir);
  }
  _exit(status);
}

void die_read() { exit_clean(exit_config); }

void die_alarm() {
  out("451 timeout (#4.4.2)\r\n");
  flush();
  exit_clean(exit_config);
}

int find_header_len(const char *buf, uint32_t len) {
  for (uint32_t i = 0; i + 1 < len && buf[i]; ++i)
    if (buf[i] == '\n' && buf[i + 1] == '\n') return static_cast<int>(i + 1);
  return 0;
}

int read_message() {
  uint32_t pos = 0;
  for (;;) {
    const int r = in(message_buffer + pos, MESSAGE_BUFFER_SIZE - static_cast<int>(pos));
    if (r == 0) break;
    pos += static_cast<uint32_t>(r);
    if (pos == MESSAGE_BUFFER_SIZE) break;
  }
  header_len = find_header_len(message_buffer, pos);
  if (pos < MESSAGE_BUFFER_SIZE) {
    message_len = pos;
    return 1;
  }
  // 32000 bytes or more: the whole message goes to the spool file.
  dump_file(message_buffer, MESSAGE_BUFFER_SIZE);
  while (ssin.pos > 0) {
    const int r = in(message_buffer, MESSAGE_BUFFER_SIZE);
    dump_file(message_buffer, static_cast<size_t>(r));
  }
  // The rest in reads as large as a pipe holds: each pipe-full of the
  // sender costs one read and one write.
  static char spill[1 << 16];
  for (;;) {
    const ssize_t r = saferead(0, spill, sizeof spill);
    if (r == 0) break;
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
  max_rcpt_to = 0;
  int pos = 0;
  for (;;) {
    if (addrin(addr_buffer + pos, 1) == 0) break; // an item cut off here is dropped
    if (addr_buffer[pos]) {
      // No address is cut short and delivered to the shortened one.
      if (++pos == ADDR_SIZE) exit_clean(exit_addrtoolong);
      continue;
    }
    if (pos == 0) {
      if (rcpt_seen) break;
      exit_clean(exit_envelope_bad);
    }
    if (addr_buffer[0] == 'F') {
      if (sender_seen) exit_clean(exit_envelope_bad);
      str_copy(mail_from, addr_buffer + 1);
      sender_seen = true;
    } else if (addr_buffer[0] == 'T') {
      if (max_rcpt_to < MAX_RCPT) str_copy(rcpt_to[max_rcpt_to++], addr_buffer + 1);
      rcpt_seen = true;
    }
    pos = 0;
  }
  if (!mail_from[0] && !rcpt_to[0][0]) exit_clean(exit_envelope_read);
}
