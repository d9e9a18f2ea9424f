#include <cerrno>
#include <cstring>

#include "control.h"
#include "exitcode.h"
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

namespace {
struct text_setting {
  stralloc *value;
  const char *file;
  const char *def;
};

struct number_setting {
  int *value;
  const char *file;
  int def;
};

// The order in which the files are read is part of the behaviour: an
// unreadable text file stops the filter before the later ones are read.
const text_setting addresses[] = {
    {&zelmd_in_host, "control/zelmd_in_host", "localhost"},
    {&zelmd_in_port, "control/zelmd_in_port", "8088"},
    {&zelmd_out_host, "control/zelmd_out_host", "localhost"},
    {&zelmd_out_port, "control/zelmd_out_port", "8088"},
};

const number_setting switches[] = {
    {&zelmd_in_block_spam, "control/zelmd_onsession_in_block_spam", 0},
    {&zelmd_in_block_bulk, "control/zelmd_onsession_in_block_bulk", 0},
    {&zelmd_in_block_virus, "control/zelmd_onsession_in_block_virus", 0},
    {&zelmd_in_block_vhigh, "control/zelmd_onsession_in_block_vhigh", 0},
    {&zelmd_out_block_spam, "control/zelmd_onsession_out_block_spam", 0},
    {&zelmd_out_block_bulk, "control/zelmd_onsession_out_block_bulk", 0},
    {&zelmd_out_block_virus, "control/zelmd_onsession_out_block_virus", 0},
    {&zelmd_out_block_vhigh, "control/zelmd_onsession_out_block_vhigh", 0},
    {&zelmd_check_outbound, "control/zelmd_check_outbound", 0},
    {&zelmd_senderid_smtpauth, "control/zelmd_senderid_smtpauth", 0},
    {&zelmd_senderid_senderip, "control/zelmd_senderid_senderip", 1},
    {&zelmd_out_totspam_action, "control/zelmd_onsession_out_totspam_action", 0},
    {&zelmd_out_totspam_num, "control/zelmd_onsession_out_totspam_num", 0},
    {&zelmd_out_totsusp_action, "control/zelmd_onsession_out_totsusp_action", 0},
    {&zelmd_out_totsusp_num, "control/zelmd_onsession_out_totsusp_num", 0},
    {&zelmd_out_totvirus_action, "control/zelmd_onsession_out_totvirus_action", 0},
    {&zelmd_out_totvirus_num, "control/zelmd_onsession_out_totvirus_num", 0},
    {&zelmd_out_totmsgs_action, "control/zelmd_onsession_out_totmsgs_action", 0},
    {&zelmd_out_totmsgs_num, "control/zelmd_onsession_out_totmsgs_num", 0},
    {&zelmd_check_inbound, "control/zelmd_check_inbound", 0},
};

const text_setting paths[] = {
    {&zelmd_report_imap_folder, "control/zelmd_report_imap_folder", "/var/spool/qmail-zelmd"},
    {&zelmd_queue_binary, "control/zelmd_queue_binary", "bin/qmail-queue"},
};

const number_setting late_switches[] = {
    {&zelmd_require_scan, "control/zelmd_require_scan", 0},
    {&zelmd_timeout, "control/zelmd_timeout", 120},
};

template <size_t N> void read_texts(const text_setting (&list)[N]) {
  for (const text_setting &t : list)
    if (control_rldef(t.value, t.file, 0, t.def) != 1) die_control(t.file);
}

// A number file that is missing, unreadable or not a number leaves the
// setting at its default, silently.
template <size_t N> void read_numbers(const number_setting (&list)[N]) {
  for (const number_setting &n : list)
    if (control_readint(n.value, n.file) != 1) *n.value = n.def;
}
} // namespace

void die_control(const char *file) {
  const int e = errno;
  out("421 unable to read controls (#4.3.0)\r\n");
  die(exit_config, "cannot read %s: %s", file, std::strerror(e));
}

void setup() {
  if (control_init() == -1) die_control("control/me");
  read_texts(addresses);
  read_numbers(switches);
  read_texts(paths);
  read_numbers(late_switches);
  // Only a wrapped-around number reads as negative; never wait for ever
  // because of one.
  if (zelmd_timeout < 0) zelmd_timeout = 120;
}
