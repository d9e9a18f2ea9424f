#include <cerrno>
#include <cstring>

#include "control.h"
#include "exitcode.h"
#include "setup.h"

namespace {
using kind = setting_kind;

constexpr control_setting text(const char *file, stralloc &(*value)(settings &),
                               const char *def) {
  return {file, kind::text, def, 0, value, nullptr};
}

constexpr control_setting number(const char *file, kind k, int &(*value)(settings &), int def) {
  return {file, k, nullptr, def, nullptr, value};
}
} // namespace

#define TEXT(file, member, def) text(file, [](settings &s) -> stralloc & { return s.member; }, def)
#define NUMBER(file, k, member, def)                                                            \
  number(file, k, [](settings &s) -> int & { return s.member; }, def)

// In the order the files are read, which is part of the behaviour: an
// unreadable text file stops the filter before the later ones are read.
const control_setting control_settings[CONTROL_SETTINGS] = {
    TEXT("control/zelmd_in_host", in.zelmd_host, "localhost"),
    TEXT("control/zelmd_in_port", in.zelmd_port, "8088"),
    TEXT("control/zelmd_out_host", out.zelmd_host, "localhost"),
    TEXT("control/zelmd_out_port", out.zelmd_port, "8088"),
    NUMBER("control/zelmd_onsession_in_block_spam", kind::toggle, in.zelmd_block_spam, 0),
    NUMBER("control/zelmd_onsession_in_block_bulk", kind::toggle, in.zelmd_block_bulk, 0),
    NUMBER("control/zelmd_onsession_in_block_virus", kind::toggle, in.zelmd_block_virus, 0),
    NUMBER("control/zelmd_onsession_in_block_vhigh", kind::toggle, in.zelmd_block_vhigh, 0),
    NUMBER("control/zelmd_onsession_out_block_spam", kind::toggle, out.zelmd_block_spam, 0),
    NUMBER("control/zelmd_onsession_out_block_bulk", kind::toggle, out.zelmd_block_bulk, 0),
    NUMBER("control/zelmd_onsession_out_block_virus", kind::toggle, out.zelmd_block_virus, 0),
    NUMBER("control/zelmd_onsession_out_block_vhigh", kind::toggle, out.zelmd_block_vhigh, 0),
    NUMBER("control/zelmd_check_outbound", kind::level, out.zelmd_check, 0),
    NUMBER("control/zelmd_senderid_smtpauth", kind::toggle, zelmd_senderid_smtpauth, 0),
    NUMBER("control/zelmd_senderid_senderip", kind::toggle, zelmd_senderid_senderip, 1),
    NUMBER("control/zelmd_onsession_out_totspam_action", kind::action, zelmd_out_totspam_action, 0),
    NUMBER("control/zelmd_onsession_out_totspam_num", kind::count, zelmd_out_totspam_num, 0),
    NUMBER("control/zelmd_onsession_out_totsusp_action", kind::action, zelmd_out_totsusp_action, 0),
    NUMBER("control/zelmd_onsession_out_totsusp_num", kind::count, zelmd_out_totsusp_num, 0),
    NUMBER("control/zelmd_onsession_out_totvirus_action", kind::action, zelmd_out_totvirus_action,
           0),
    NUMBER("control/zelmd_onsession_out_totvirus_num", kind::count, zelmd_out_totvirus_num, 0),
    NUMBER("control/zelmd_onsession_out_totmsgs_action", kind::action, zelmd_out_totmsgs_action, 0),
    NUMBER("control/zelmd_onsession_out_totmsgs_num", kind::count, zelmd_out_totmsgs_num, 0),
    NUMBER("control/zelmd_check_inbound", kind::level, in.zelmd_check, 0),
    TEXT("control/zelmd_report_imap_folder", zelmd_report_imap_folder, "/var/spool/qmail-zelmd"),
    TEXT("control/zelmd_queue_binary", zelmd_queue_binary, "bin/qmail-queue"),
    NUMBER("control/zelmd_require_scan", kind::nonzero, zelmd_require_scan, 0),
    NUMBER("control/zelmd_timeout", kind::seconds, zelmd_timeout, 120),
    NUMBER("control/zelmd_connect_timeout", kind::seconds, zelmd_connect_timeout, 5),
    TEXT("control/zelmd_spool_dir", zelmd_spool_dir, "/tmp/qmail-zelmd"),
    NUMBER("control/zelmd_custom_reply", kind::toggle, zelmd_custom_reply, 0),
    NUMBER("control/zelmd_tag_only", kind::toggle, zelmd_tag_only, 0),
    TEXT("control/zelmd_subject_tag", zelmd_subject_tag, ""),
    NUMBER("control/zelmd_max_size", kind::bytes, zelmd_max_size, 0),
    NUMBER("control/zelmd_quarantine", kind::toggle, zelmd_quarantine, 0),
    TEXT("control/zelmd_quarantine_dir", zelmd_quarantine_dir, "/var/spool/qmail-zelmd-quarantine"),
};

#undef TEXT
#undef NUMBER

// A text file that exists but cannot be read is an error (-1); a number
// file that is missing, unreadable or not a number leaves the setting at
// its default, silently.
int setting_read(const control_setting &c, settings *s) {
  if (c.text) return control_rldef(&c.text(*s), c.file, 0, c.text_default);
  const int r = control_readint(&c.number(*s), c.file);
  if (r != 1) c.number(*s) = c.number_default;
  return r;
}

void setup_limits(settings *s) {
  // Only a wrapped-around number reads as negative; never wait for ever
  // because of one.
  for (const control_setting &c : control_settings)
    if (c.kind == setting_kind::seconds && c.number(*s) < 0) c.number(*s) = c.number_default;
}

int setup(settings *s, direction dir, failure *f) {
  int *const check = &s->of(dir).zelmd_check;
  // In the order of the table: an unreadable file stops the filter before
  // the later ones are read. Of the number files, which never stop it,
  // only the direction's switch is needed yet.
  const char *file = "control/me";
  int r = control_init();
  for (size_t i = 0; r != -1 && i < CONTROL_SETTINGS; ++i) {
    const control_setting &c = control_settings[i];
    if (c.number && &c.number(*s) != check) continue;
    file = c.file;
    r = setting_read(c, s);
    if (!c.text && r == -1) r = 0;
  }
  if (r == -1) {
    const int e = errno;
    f->status = "421 unable to read controls (#4.3.0)\r\n";
    return fail(f, exit_config, "cannot read %s: %s", file, std::strerror(e));
  }
  return setup_policy(s, f);
}

bool setup_passes_unread(const settings &s, direction dir) {
  return !s.of(dir).zelmd_check && !policy_can_classify(s.policy, dir == direction::outbound);
}

void setup_rest(settings *s, direction dir) {
  const int *const check = &s->of(dir).zelmd_check;
  for (const control_setting &c : control_settings)
    if (c.number && &c.number(*s) != check) setting_read(c, s);
  setup_limits(s);
}

int setup_policy(settings *s, failure *f) {
  if (policy_open(&s->policy, POLICY_CDB) == 0) return 0;
  return fail(f, exit_temp, "cannot read %s: %s", POLICY_CDB,
              errno == EPROTO ? "not a compiled policy; run qmail-zelmd-policy"
                              : std::strerror(errno));
}
