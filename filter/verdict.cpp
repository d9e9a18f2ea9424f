#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "exitcode.h"
#include "fd.h"
#include "log.h"
#include "open.h"
#include "qmail-zelmd.h"
#include "str.h"
#include "writeall.h"

namespace {
constexpr long REPORT_FLAGS = 0x3FE; // sender flag bits 1 to 9 ask for a copy

long number(const stralloc &sa) { return sa.s && sa.len ? std::strtol(sa.s, nullptr, 10) : 0; }

bool is(const stralloc &sa, const char *s) { return sa.s && sa.len && !str_diff(sa.s, s); }

void copy_spool_file(int to, const char *name) {
  fd_owner from(open_read(workfile));
  if (!from.ok()) die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
  temp_fd = from.get();
  for (;;) {
    const ssize_t r = read(from.get(), message_buffer, MESSAGE_BUFFER_SIZE);
    if (r == 0) break;
    if (r == -1) {
      if (errno == error_intr) continue;
      die(exit_temp, "cannot reread spool file %s: %s", workfile, std::strerror(errno));
    }
    if (writeall(to, message_buffer, static_cast<size_t>(r)) == -1)
      die(exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  }
  temp_fd = -1;
}

struct threshold {
  const char *file;
  const int *num;
  const int *action;
  stralloc ClassifyResult::*count;
  int max_bluewhite; // the rule is skipped for a higher blue/white flag
};

// Tested in this order; the first that fires decides.
const threshold thresholds[] = {
    {"control/zelmd_onsession_out_totspam_num", &zelmd_out_totspam_num, &zelmd_out_totspam_action, &ClassifyResult::senderid_totalspam, 1},
    {"control/zelmd_onsession_out_totsusp_num", &zelmd_out_totsusp_num, &zelmd_out_totsusp_action, &ClassifyResult::senderid_totalsuspected, 0},
    {"control/zelmd_onsession_out_totvirus_num", &zelmd_out_totvirus_num, &zelmd_out_totvirus_action, &ClassifyResult::senderid_totalvirus, 1},
    {"control/zelmd_onsession_out_totmsgs_num", &zelmd_out_totmsgs_num, &zelmd_out_totmsgs_action, &ClassifyResult::senderid_totalmessages, 0},
};

struct class_rule {
  const int *block;
  stralloc ClassifyResult::*field;
  const char *class_name;
  const char *kind; // in the control file's name
};

const class_rule class_rules[] = {
    {&zelmd_block_spam, &ClassifyResult::spam, "Confirmed", "spam"},
    {&zelmd_block_bulk, &ClassifyResult::spam, "Bulk", "bulk"},
    {&zelmd_block_virus, &ClassifyResult::vod, "Virus", "virus"},
    {&zelmd_block_vhigh, &ClassifyResult::vod, "High", "vhigh"},
};

// The control file of the first class rule that matches, or null.
const char *class_rule_fired(const ClassifyResult *r) {
  static char file[64];
  for (const class_rule &c : class_rules) {
    if (*c.block != 1 || !is(r->*c.field, c.class_name)) continue;
    std::snprintf(file, sizeof file, "control/zelmd_onsession_%s_block_%s",
                  zelmd_check_inbound ? "in" : "out", c.kind);
    return file;
  }
  return nullptr;
}
} // namespace

void handle_zelmd_outbound_message(const char *answer, const ClassifyResult *result) {
  if (!report_wanted(result)) return;
  if (!stralloc_append(&zelmd_report_imap_folder, "")) die(exit_temp, "out of memory");
  char name[192] = {};
  std::snprintf(name, sizeof name - 1, "%s/msgXXXXXX", zelmd_report_imap_folder.s);
  fd_owner report(mkostemp(name, O_CLOEXEC));
  if (!report.ok())
    die(exit_temp, "cannot create report file %s/msgXXXXXX: %s", zelmd_report_imap_folder.s,
        std::strerror(errno));
  if (answer && writeall(report.get(), answer, str_len(answer)) == -1)
    die(exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  if (isStream) {
    if (writeall(report.get(), message_buffer, message_len) == -1)
      die(exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  } else {
    copy_spool_file(report.get(), name);
  }
  // A report whose last bytes never reached the disk is a failed copy.
  if (close(report.release()) == -1)
    die(exit_temp, "cannot write report file %s: %s", name, std::strerror(errno));
  log_printf("COPY IP: %s, SenderID: %s, File: %s", remoteip,
             result->senderid.s && result->senderid.s[0] ? result->senderid.s : "N/A", name);
}

void exit_outbound(int code, const char *answer, const ClassifyResult *result, const char *rule) {
  if (zelmd_check_outbound == 1) handle_zelmd_outbound_message(answer, result);
  if (code > 0) die(code, "refused by %s", rule);
}

int verdict_code(const ClassifyResult *result, const char **rule) {
  if (result->bluewhiteflag_num <= 1)
    if ((*rule = class_rule_fired(result))) return exit_perm;
  for (const threshold &t : thresholds) {
    if (*t.num <= 0 || result->bluewhiteflag_num > t.max_bluewhite) continue;
    // Counts compare as unsigned 32-bit numbers: "-1" is the largest.
    const uint32_t count = static_cast<uint32_t>(number(result->*t.count));
    if (count < static_cast<uint32_t>(*t.num)) continue;
    *rule = t.file;
    if (*t.action == 1) return exit_temp;
    if (*t.action == 2) return exit_perm;
  }
  *rule = nullptr;
  return exit_ok;
}

int report_wanted(const ClassifyResult *result) {
  return zelmd_check_outbound == 1 && (number(result->senderid_flags) & REPORT_FLAGS) != 0;
}

void verdict(const char *answer, const ClassifyResult *result) {
  const char *rule;
  const int code = verdict_code(result, &rule);
  exit_outbound(code, answer, result, rule);
}
