#ifndef QMAIL_ZELMD_H
#define QMAIL_ZELMD_H

// Process-wide state of the filter, one message per process.

#include <cstdint>
#include <ctime>

#include "classify.h"
#include "qmail.h"
#include "stralloc.h"
#include "substdio.h"

inline constexpr int MESSAGE_BUFFER_SIZE = 32000;
inline constexpr int ADDR_SIZE = 500;

// intake.cpp
extern char message_buffer[MESSAGE_BUFFER_SIZE];
extern uint32_t message_len; // bytes of an in-memory message, NUL bytes included

// The header is everything before the first empty line ("\n" or "\r\n" at
// the start of the message or right after a "\n"), found while the message
// is read, however long the header and whatever bytes it holds. A zeroed
// state stands at the start of a message.
struct header_state {
  uint64_t end; // offset of the empty line; without one, the message's length
  int found;    // 1 once the empty line is seen
  enum { start, mid, after_cr } line;
};
extern header_state message_header;
void header_scan(header_state *h, const char *buf, size_t len);

extern int isStream;
extern int temp_fd;
extern char workdir[128];
extern char workfile[192];
extern time_t start;
extern char mail_from[ADDR_SIZE]; // cut to fit: for the daemon and the log
// Every whole envelope item as it came, in order, without the closing
// empty item (qmail_close writes that one).
extern stralloc envelope_items;

// Set before the message is read: the daemon will be asked for the spooled
// message by its file name, so the file must be in the spool directory.
extern int spool_by_name;
int read_message();
void read_address();
[[noreturn]] void exit_clean(int status);
// The spool directory's rules, shared with the check command. Null when
// the rule holds, else what is wrong: the working directory's name for pid
// (written to dir, 127 bytes) must fit; the directory must be a real
// directory of this user, not writable by group or others.
const char *spool_dir_name(const char *root, long pid, char *dir);
const char *spool_dir_unsafe(const char *path);

// die.cpp: every end with a non-zero code goes through die, which logs
// "IP: <address> - <reason> (exit <code>)" and then leaves by exit_clean;
// a message passed on without a verdict is logged by log_unscanned.
[[noreturn]] void die(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
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
// The closing byte did not go out because a signal came: a stop signal
// noted meanwhile ends the run now, as it would have before.
void hand_over_interrupted();
[[noreturn]] void die_alarm(int fd);
void out(const char *s);

// setup.cpp
extern stralloc zelmd_in_host, zelmd_in_port, zelmd_out_host, zelmd_out_port;
extern int zelmd_in_block_spam, zelmd_in_block_bulk, zelmd_in_block_virus, zelmd_in_block_vhigh;
extern int zelmd_out_block_spam, zelmd_out_block_bulk, zelmd_out_block_virus,
    zelmd_out_block_vhigh;
extern int zelmd_check_outbound, zelmd_check_inbound;
extern int zelmd_senderid_smtpauth, zelmd_senderid_senderip;
extern int zelmd_out_totspam_action, zelmd_out_totspam_num;
extern int zelmd_out_totsusp_action, zelmd_out_totsusp_num;
extern int zelmd_out_totvirus_action, zelmd_out_totvirus_num;
extern int zelmd_out_totmsgs_action, zelmd_out_totmsgs_num;
extern stralloc zelmd_report_imap_folder, zelmd_queue_binary;
extern int zelmd_require_scan;
extern int zelmd_timeout; // seconds for the whole exchange with the daemon; 0: no limit
extern int zelmd_connect_timeout; // seconds for one address to connect; 0: no own limit

extern stralloc zelmd_spool_dir; // where the per-message working directories are made

// One control file and the setting it holds: a text (with its default), or
// a number (with its default).
struct control_setting {
  const char *file;
  stralloc *text;
  const char *text_default;
  int *number;
  int number_default;
};
// Every setting, in the order setup reads them.
extern const control_setting control_settings[];
extern const size_t control_settings_count;
// Reads one setting as setup does; the control reader's result.
int setting_read(const control_setting &c);

void setup();
// The time limits of the settings read, handed to the client.
void setup_limits();
[[noreturn]] void die_control(const char *file);

// direction.cpp: the active set and what the environment said.
extern stralloc zelmd_host, zelmd_port;
extern int zelmd_block_spam, zelmd_block_bulk, zelmd_block_virus, zelmd_block_vhigh;
extern const char *remoteip;
extern char *zelmd_response;
// classify.cpp: what the SMTP server's environment said, and the request
// for the message read, with the sender identity the settings ask for; the
// client's result, zelmd_response holding the answer.
extern const char *relayclient;   // RELAYCLIENT, else SMTPAUTHUSER; null: inbound
extern const char *smtpauthuser;
int classify_message();
// Fills the active set from one direction's settings and clears the other
// direction's check switch, so that later steps can tell the direction
// from the switches alone.
void choose_direction(int outbound);

// verdict.cpp: ends the process when a rule refuses the message.
void verdict(const char *answer, const ClassifyResult *result);
// What the rules say: 0 to pass, or 31 or 71 with the rule's control file.
int verdict_code(const ClassifyResult *result, const char **rule);
// 1 when the answer asks for a report copy of the message.
int report_wanted(const ClassifyResult *result);
void exit_outbound(int code, const char *answer, const ClassifyResult *result, const char *rule);
void handle_zelmd_outbound_message(const char *answer, const ClassifyResult *result);

// forward.cpp: the message goes on as received when it was not to be
// classified; without the X-ZELM- fields it came with when the daemon could
// not be consulted; and with ours in their place after a verdict.
enum forward_how { forward_untouched, forward_unforged, forward_stamped };
void send_zelmd_headers(const ClassifyResult *result, qmail_handle *qq);
void put_message(const ClassifyResult *result, qmail_handle *qq, forward_how how);
void send_file(const ClassifyResult *result, qmail_handle *qq, forward_how how);
[[noreturn]] void forward(const ClassifyResult *result, forward_how how);

#endif
