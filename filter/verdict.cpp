#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "error.h"
#include "exitcode.h"
#include "fd.h"
#include "open.h"
#include "qmail-zelmd.h"
#include "str.h"
#include "writeall.h"

namespace {
constexpr long REPORT_FLAGS = 0x3FE; // sender flag bits 1 to 9 ask for a copy

long number(const stralloc &sa) { return sa.s && sa.len ? std::strtol(sa.s, nullptr, 10) : 0; }

bool is(const stralloc &sa, const char *s) { return sa.s && sa.len && !str_diff(sa.s, s); }

void copy_spool_file(int to) {
  fd_owner from(open_read(workfile));
  if (!from.ok()) exit_clean(exit_temp);
  temp_fd = from.get();
  for (;;) {
    const ssize_t r = read(from.get(), message_buffer, MESSAGE_BUFFER_SIZE);
    if (r == 0) break;
    if (r == -1) {
      if (errno == error_intr) continue;
      exit_clean(exit_temp);
    }
    if (writeall(to, message_buffer, static_cast<size_t>(r)) == -1) exit_clean(exit_temp);
  }
  temp_fd = -1;
}

struct threshold {
  const int *num;
  const int *action;
  stralloc ClassifyResult::*count;
  int max_bluewhite; // the rule is skipped for a higher blue/white flag
};

// Tested in this order; the first that fires decides.
const threshold thresholds[] = {
    {&zelmd_out_totspam_num, &zelmd_out_totspam_action, &ClassifyResult::senderid_totalspam, 1},
    {&zelmd_out_totsusp_num, &zelmd_out_totsusp_action, &ClassifyResult::senderid_totalsuspected, 0},
    {&zelmd_out_totvirus_num, &zelmd_out_totvirus_action, &ClassifyResult::senderid_totalvirus, 1},
    {&zelmd_out_totmsgs_num, &zelmd_out_totmsgs_action, &ClassifyResult::senderid_totalmessages, 0},
};

bool class_rule_fires(const ClassifyResult *r) {
  return (zelmd_block_spam == 1 && is(r->spam, "Confirmed")) ||
         (zelmd_block_bulk == 1 && is(r->spam, "Bulk")) ||
         (zelmd_block_virus == 1 && is(r->vod, "Virus")) ||
         (zelmd_block_vhigh == 1 && is(r->vod, "High"));
}
} // namespace

void handle_zelmd_outbound_message(const char *answer, const ClassifyResult *result) {
  if (!(number(result->senderid_flags) & REPORT_FLAGS)) return;
  if (!stralloc_append(&zelmd_report_imap_folder, "")) exit_clean(exit_temp);
  char name[192] = {};
  std::snprintf(name, sizeof name - 1, "%s/msgXXXXXX", zelmd_report_imap_folder.s);
  fd_owner report(mkostemp(name, O_CLOEXEC));
  if (!report.ok()) exit_clean(exit_temp);
  if (answer && writeall(report.get(), answer, str_len(answer)) == -1) exit_clean(exit_temp);
  if (isStream) {
    if (writeall(report.get(), message_buffer, message_len) == -1) exit_clean(exit_temp);
  } else {
    copy_spool_file(report.get());
  }
  // A report whose last bytes never reached the disk is a failed copy.
  if (close(report.release()) == -1) exit_clean(exit_temp);
}

void exit_outbound(int code, const char *answer, const ClassifyResult *result) {
  if (zelmd_check_outbound == 1) handle_zelmd_outbound_message(answer, result);
  if (code > 0) exit_clean(code);
}

void verdict(const char *answer, const ClassifyResult *result) {
  if (result->bluewhiteflag_num <= 1 && class_rule_fires(result))
    exit_outbound(exit_perm, answer, result);
  for (const threshold &t : thresholds) {
    if (*t.num <= 0 || result->bluewhiteflag_num > t.max_bluewhite) continue;
    // Counts compare as unsigned 32-bit numbers: "-1" is the largest.
    const uint32_t count = static_cast<uint32_t>(number(result->*t.count));
    if (count < static_cast<uint32_t>(*t.num)) continue;
    if (*t.action == 1) exit_outbound(exit_temp, answer, result);
    if (*t.action == 2) exit_outbound(exit_perm, answer, result);
  }
  exit_outbound(0, answer, result);
}
