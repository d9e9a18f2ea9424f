#include <cerrno>
#include <cstring>

#include "control.h"
#include "exitcode.h"
#include "http_client.h"
#include "qmail-zelmd.h"

stralloc zelmd_in_host, zelmd_in_port, zelmd_out_host, zelmd_out_port;
int zelmd_in_block_spam, zelmd_in_block_bulk, zelmd_in_block_virus, zelmd_in_block_vhigh;
int zelmd_out_block_spam, zelmd_out_block_bulk, zelmd_out_block_virus, zelmd_out_block_vhigh;
int zelmd_check_outbound, zelmd_check_inbound;
int zelmd_senderid_smtpauth, zelmd_senderid_senderip;
int zelmd_out_totspam_action, zelmd_out_totspam_num;
int zelmd_out_totsusp_action, zelmd_out_totsusp_num;
int zelmd_out_totvirus_action, zelmd_out_totvirus_num;
int zelmd_out_totmsgs_action, zelmd_out_totmsgs_num;
stralloc zelmd_report_imap_folder, zelmd_queue_binary;
int zelmd_require_scan;
int zelmd_timeout;
int zelmd_connect_timeout;

stralloc zelmd_spool_dir;

namespace {
constexpr control_setting text(const char *file, stralloc *value, const char *def) {
  return {file, value, def, nullptr, 0};
}

constexpr control_setting number(const char *file, int *value, int def) {
  return {file, nullptr, nullptr, value, def};
}
} // namespace

// In the order the files are read, which is part of the behaviour: an
// unreadable text file stops the filter before the later ones are read.
const control_setting control_settings[] = {
    text("control/zelmd_in_host", &zelmd_in_host, "localhost"),
    text("control/zelmd_in_port", &zelmd_in_port, "8088"),
    text("control/zelmd_out_host", &zelmd_out_host, "localhost"),
    text("control/zelmd_out_port", &zelmd_out_port, "8088"),
    number("control/zelmd_onsession_in_block_spam", &zelmd_in_block_spam, 0),
    number("control/zelmd_onsession_in_block_bulk", &zelmd_in_block_bulk, 0),
    number("control/zelmd_onsession_in_block_virus", &zelmd_in_block_virus, 0),
    number("control/zelmd_onsession_in_block_vhigh", &zelmd_in_block_vhigh, 0),
    number("control/zelmd_onsession_out_block_spam", &zelmd_out_block_spam, 0),
    number("control/zelmd_onsession_out_block_bulk", &zelmd_out_block_bulk, 0),
    number("control/zelmd_onsession_out_block_virus", &zelmd_out_block_virus, 0),
    number("control/zelmd_onsession_out_block_vhigh", &zelmd_out_block_vhigh, 0),
    number("control/zelmd_check_outbound", &zelmd_check_outbound, 0),
    number("control/zelmd_senderid_smtpauth", &zelmd_senderid_smtpauth, 0),
    number("control/zelmd_senderid_senderip", &zelmd_senderid_senderip, 1),
    number("control/zelmd_onsession_out_totspam_action", &zelmd_out_totspam_action, 0),
    number("control/zelmd_onsession_out_totspam_num", &zelmd_out_totspam_num, 0),
    number("control/zelmd_onsession_out_totsusp_action", &zelmd_out_totsusp_action, 0),
    number("control/zelmd_onsession_out_totsusp_num", &zelmd_out_totsusp_num, 0),
    number("control/zelmd_onsession_out_totvirus_action", &zelmd_out_totvirus_action, 0),
    number("control/zelmd_onsession_out_totvirus_num", &zelmd_out_totvirus_num, 0),
    number("control/zelmd_onsession_out_totmsgs_action", &zelmd_out_totmsgs_action, 0),
    number("control/zelmd_onsession_out_totmsgs_num", &zelmd_out_totmsgs_num, 0),
    number("control/zelmd_check_inbound", &zelmd_check_inbound, 0),
    text("control/zelmd_report_imap_folder", &zelmd_report_imap_folder, "/var/spool/qmail-zelmd"),
    text("control/zelmd_queue_binary", &zelmd_queue_binary, "bin/qmail-queue"),
    number("control/zelmd_require_scan", &zelmd_require_scan, 0),
    number("control/zelmd_timeout", &zelmd_timeout, 120),
    number("control/zelmd_connect_timeout", &zelmd_connect_timeout, 5),
    text("control/zelmd_spool_dir", &zelmd_spool_dir, "/tmp/qmail-zelmd"),
};
const size_t control_settings_count = sizeof control_settings / sizeof control_settings[0];

// A text file that exists but cannot be read is an error (-1); a number
// file that is missing, unreadable or not a number leaves the setting at
// its default, silently.
int setting_read(const control_setting &c) {
  if (c.text) return control_rldef(c.text, c.file, 0, c.text_default);
  const int r = control_readint(c.number, c.file);
  if (r != 1) *c.number = c.number_default;
  return r;
}

void die_control(const char *file) {
  const int e = errno;
  out("421 unable to read controls (#4.3.0)\r\n");
  die(exit_config, "cannot read %s: %s", file, std::strerror(e));
}

void setup_limits() {
  // Only a wrapped-around number reads as negative; never wait for ever
  // because of one.
  if (zelmd_timeout < 0) zelmd_timeout = 120;
  if (zelmd_connect_timeout < 0) zelmd_connect_timeout = 5;
  g_iTimeout = zelmd_timeout;
  g_iConnectTimeout = zelmd_connect_timeout;
}

void setup() {
  if (control_init() == -1) die_control("control/me");
  for (const control_setting &c : control_settings)
    if (setting_read(c) == -1 && c.text) die_control(c.file);
  setup_limits();
}
