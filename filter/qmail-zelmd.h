#ifndef QMAIL_ZELMD_H
#define QMAIL_ZELMD_H

// The filter's steps. main owns the settings, what the SMTP server's
// environment said and the message, and hands each step what it needs.
// A step that cannot go on returns the exit code and says why in a
// failure; only main ends the process, through die.

#include <cstdint>
#include <ctime>

#include "classify.h"
#include "http_client.h"
#include "qmail.h"
#include "stralloc.h"
#include "substdio.h"

inline constexpr int MESSAGE_BUFFER_SIZE = 32000;
inline constexpr int ADDR_SIZE = 500;

// Why a step could not go on: the exit code, the reason line's text, and
// the status line qmail-queue would write on descriptor 1, if any.
struct failure {
  int code;
  const char *status;
  char reason[900];
};
// Fills f and returns code.
int fail(failure *f, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// --- settings (setup.cpp)

enum class direction { inbound, outbound };

// One direction's daemon, its switch and its blocking rules.
struct direction_settings {
  stralloc zelmd_host, zelmd_port;
  int zelmd_check; // not 0: classify; exactly 1: with the features of the direction
  int zelmd_block_spam, zelmd_block_bulk, zelmd_block_virus, zelmd_block_vhigh;
};

struct settings {
  direction_settings in, out;
  int zelmd_senderid_smtpauth, zelmd_senderid_senderip;
  int zelmd_out_totspam_action, zelmd_out_totspam_num;
  int zelmd_out_totsusp_action, zelmd_out_totsusp_num;
  int zelmd_out_totvirus_action, zelmd_out_totvirus_num;
  int zelmd_out_totmsgs_action, zelmd_out_totmsgs_num;
  stralloc zelmd_report_imap_folder, zelmd_queue_binary;
  int zelmd_require_scan;
  int zelmd_timeout;         // seconds for the whole exchange with the daemon; 0: no limit
  int zelmd_connect_timeout; // seconds for one address to connect; 0: no own limit
  stralloc zelmd_spool_dir;  // where the per-message working directories are made
  int zelmd_custom_reply;    // 1: a refusal tells the sender why (exit 82, descriptor 6)
  direction dir;             // the message's, from the environment

  const direction_settings &active() const { return dir == direction::outbound ? out : in; }
  // Outbound mail with its switch at exactly 1: the sender identity, the
  // sender lines, the thresholds and the report copy.
  bool sender_features() const { return dir == direction::outbound && out.zelmd_check == 1; }
  // Inbound mail with its switch at exactly 1 logs the IN form.
  bool in_form() const { return dir == direction::inbound && in.zelmd_check == 1; }
};

// What a setting's value means, for reading it and for the check command.
enum class setting_kind {
  text,    // any text; an unreadable file stops the filter
  toggle,  // acts at exactly 1
  level,   // a direction's switch: not 0 classifies, 1 adds its features
  action,  // 1 refuses with 71, 2 with 31
  count,   // a threshold, off at 0 or less
  seconds, // a time limit, 0 for none
};

// One control file and the setting it holds, with its default.
struct control_setting {
  const char *file;
  setting_kind kind;
  const char *text_default;
  int number_default;
  stralloc &(*text)(settings &);
  int &(*number)(settings &);
};
// Every setting, in the order setup reads them.
inline constexpr size_t CONTROL_SETTINGS = 31;
extern const control_setting control_settings[CONTROL_SETTINGS];
// Reads one setting as setup does: the control reader's result.
int setting_read(const control_setting &c, settings *s);
// Every setting, for the message's direction; 0, or 1 when control/me or
// a text file cannot be read (with the 421 status line).
int setup(settings *s, direction dir, failure *f);
// The time limits made sane once read (a wrapped number is no limit of
// its own).
void setup_limits(settings *s);

// --- the message (intake.cpp, spool.cpp, envelope.cpp)

// The header is everything before the first empty line ("\n" or "\r\n" at
// the start of the message or right after a "\n"), found while the message
// is read, however long the header and whatever bytes it holds. A zeroed
// state stands at the start of a message.
struct header_state {
  uint64_t end; // offset of the empty line; without one, the message's length
  int found;    // 1 once the empty line is seen
  enum { start, mid, after_cr } line;
};
void header_scan(header_state *h, const char *buf, size_t len);

struct message {
  char message_buffer[MESSAGE_BUFFER_SIZE]; // the message, when it fits
  uint32_t message_len;                     // its bytes, NUL bytes included
  char workdir[128];  // the working directory, once made
  char workfile[192]; // the spool file, once made: the message is spooled
  time_t start;
  header_state header;
  // Every whole envelope item as it came, in order, without the closing
  // empty item (qmail_close writes that one).
  stralloc envelope_items;
  char mail_from[ADDR_SIZE]; // cut to fit: for the daemon and the log

  bool spooled() const { return workfile[0] != 0; }
};

// Reads the message from fd: in memory below 32000 bytes, else into a
// spool file in a working directory. by_name: the daemon will read the
// spool file by its name, so it must be in the configured spool directory.
int read_message(message *m, int fd, const settings &s, bool by_name, failure *f);
// Reads the envelope from in, as qmail-queue would: 0, 54 or 91.
int read_envelope(substdio *in, stralloc *items, char *mail_from, failure *f);
// The envelope from descriptor 1, under the time limit of intake.
int read_address(message *m, failure *f);

// The spool directory's rules, shared with the check command. Null when
// the rule holds, else what is wrong: the working directory's name for pid
// (written to dir, 127 bytes) must fit; the directory must be a real
// directory of this user, not writable by group or others.
const char *spool_dir_name(const char *root, long pid, char *dir);
const char *spool_dir_unsafe(const char *path);
// The working directory for m: the configured spool directory's when it
// is safe, else a private one under /tmp unless by_name.
int make_workdir(message *m, const settings &s, bool by_name, failure *f);
// Removes what make_workdir made, for a process that goes on.
void spool_remove(message *m);

// --- the ends (die.cpp)

// What every end needs: the client's address for the reason line. The
// working directory and spool file to remove are registered by the step
// that makes them.
void die_setup(const char *remoteip);
void die_spool(const char *workdir, const char *workfile); // null: nothing to remove
// Every end with a non-zero code goes through die, which logs
// "IP: <address> - <reason> (exit <code>)" and then leaves by exit_clean.
[[noreturn]] void die(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The same for a failure: its status line, if any, then die.
[[noreturn]] void die_failure(const failure &f);
[[noreturn]] void exit_clean(int status);
// A message passed on without a verdict: "(passed unscanned)".
void log_unscanned(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A line of its own for a run that goes on: "IP: <address> - <text>".
void log_note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Every signal that would end the process ends the run with 71 and
// without a copy left in the spool area; SIGPIPE and SIGXFSZ turn into
// failed writes.
void catch_signals();
// From here on the envelope's closing byte may reach the queue program: a
// stop signal is only noted, and the run waits for the queue program.
void hand_over_begin();
// The closing byte did not go out because a signal came: true, with the
// failure to end with, when it was a stop signal, which then ends the run
// as it would have before.
bool hand_over_stopped(failure *f);
// A status line on descriptor 1: one attempt, never waited for.
void out(const char *s);

// --- what the sender is told of a refusal (reply.cpp)

// Why a message is refused, in the sender's words ("message refused as
// spam"), with the enhanced status code that goes with it.
struct refusal {
  int code; // 31 or 71
  const char *words;
  const char *status; // "5.7.1", "4.7.1", "4.3.0"
};
extern const refusal refusal_unavailable; // the daemon could not be consulted
// The reply a qmail-smtpd that reads descriptor 6 gives the client when
// the queue program ends with 82: "D" (permanent) or "Z" (temporary), the
// words, the daemon's reference when there is one, the status code;
// printable ASCII, at most 255 bytes. Its length.
size_t custom_reply(char *buf, const refusal &why, const char *refid);
// What qmail-smtpd answers the client for the refusal under the settings.
void smtp_reply(char *buf, size_t size, const settings &s, const refusal &why, const char *refid);
// With control/zelmd_custom_reply 1, text to the client on descriptor 6
// when that is a pipe that takes it whole: true, and the run ends with 82.
bool tell_client(const settings &s, const char *text, size_t len);

// --- the daemon (classify.cpp)

// What the SMTP server's environment says of the client.
struct client {
  const char *remoteip;     // TCPREMOTEIP, else 127.0.0.1
  const char *relayclient;  // RELAYCLIENT, else SMTPAUTHUSER; null: inbound
  const char *smtpauthuser; // SMTPAUTHUSER
};
// The request for the message, with the sender identity the settings ask for.
zelmd_request classify_request(const settings &s, const client &c, const message &m);
int classify_message(const settings &s, const client &c, const message &m, zelmd_reply *reply);

// --- the verdict (verdict.cpp, report.cpp)

// What the rules say: 0 to pass, or 31 or 71 with the rule's control
// file; and whether the answer asks for a report copy.
struct decision {
  int code;
  const char *rule;
  bool report;
  refusal why; // for a refusal
};
decision verdict(const settings &s, const ClassifyResult &r);
// The report copy: the answer, then the message as received; 0 or 71.
int handle_zelmd_outbound_message(const settings &s, const client &c, const message &m,
                                  const char *answer, const ClassifyResult &r, failure *f);

// --- the hand-off (forward.cpp)

// The message goes on as received when it was not to be classified;
// without the X-ZELM- fields it came with when the daemon could not be
// consulted; and with ours in their place after a verdict.
enum forward_how { forward_untouched, forward_unforged, forward_stamped };
// The stamped lines of a verdict.
void send_zelmd_headers(const ClassifyResult &r, bool sender_lines, qmail_handle *qq);
// The message as it goes to the queue program.
int put_message(const message &m, const ClassifyResult *r, bool sender_lines, forward_how how,
                qmail_handle *qq, failure *f);
// Hands message and envelope to the queue program and waits for it: its
// exit code, with a failure for every end other than 0.
int forward(const settings &s, const message &m, const ClassifyResult *r, forward_how how,
            failure *f);

#endif
