#include <sys/resource.h>

#include <cstdio>
#include <ctime>

#include "classify.h"
#include "decide.h"
#include "die.h"
#include "exitcode.h"
#include "forward.h"
#include "intake.h"
#include "log.h"
#include "policy.h"
#include "reply.h"
#include "report.h"
#include "setup.h"
#include "str.h"
#include "zelmd_response.h"

namespace {
// The queue program must be startable, but the limit counts every process
// of the user, and hundreds of SMTP sessions may share it: a low soft
// limit is raised, a higher one is never lowered.
void set_process_limit() {
  rlimit r;
  if (getrlimit(RLIMIT_NPROC, &r) == -1 || r.rlim_cur >= 1024) return;
  r.rlim_cur = r.rlim_max < 1024 ? r.rlim_max : 1024;
  setrlimit(RLIMIT_NPROC, &r);
}

// A refusal, told to the client in the sender's words when the settings
// ask for it and qmail-smtpd listens on descriptor 6.
[[noreturn]] void refuse(const plan &pl) {
  char text[256];
  const size_t n = custom_reply(text, pl.why, pl.refid);
  if (pl.custom_reply && tell_client(text, n))
    die(exit_custom, "%s; replied \"%s\"", pl.reason, text);
  die(pl.code, "%s", pl.reason);
}

[[noreturn]] void hand_on(const policy &p, const message &m, const envelope &e,
                          const stamping &st) {
  failure f = {};
  if (forward(p, m, e, st, &f)) die_failure(f);
  exit_clean(exit_ok);
}
} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && !str_diff(argv[1], "-v")) {
    std::printf("%s ver %s\n", argv[0], ZELMD_VERSION);
    return exit_ok;
  }

  // The address first: every log line names it, also that of a failure
  // during setup.
  const client c = client_from_env();
  log_init("qmail-zelmd");
  die_setup(c.remoteip);

  failure f = {};
  settings s = {};
  const direction dir = direction_of(c);
  if (setup(&s, dir, &f)) die_failure(f);
  // Mail that nothing can classify, neither the direction's switch nor an
  // entry of the policy, is not even read: the queue program takes over.
  if (setup_passes_unread(s, dir)) {
    pass_through(s, &f);
    die_failure(f);
  }
  set_process_limit();
  setup_rest(&s, dir);
  const direction_settings &d = s.of(dir);
  catch_signals();
  // One process, one message: 32000 bytes that live as long as it does.
  static message m;
  m.start = time(nullptr);
  envelope e = {};
  if (read_message(&m, 0, s, d.zelmd_check && zelmd_reads_files(stralloc_view(&d.zelmd_host)),
                   &f) ||
      read_envelope_fd1(&e, &f))
    die_failure(f);
  policy p;
  if (policy_for(s, c, e, m.size, &p, &f)) die_failure(f);

  exchange x = {asked::no, nullptr};
  zelmd_reply reply = {};
  ClassifyResult r = {};
  bool usable = false;
  if (policy_asks(p, m.size)) {
    x = {asked::answered, nullptr};
    if (classify_message(p, c, m, e, &reply) != 0) {
      x = {asked::failed, reply.why};
    } else {
      usable = parse_zelmd_response(reply.answer.s, p.sender_features, &r) == 0;
      char line[4096];
      log_write(line, zelmd_response_line(line, sizeof line, r, usable, p.in_form, c.remoteip,
                                          e.sender));
    }
  }

  const plan pl = decide(p, x, r, usable);
  if (pl.report && write_report_copy(p, c, m, field_text(reply.answer), r, &f)) die_failure(f);
  if (pl.kind == plan_kind::refused) {
    if (pl.keep && write_quarantine_copy(p, c, m, e, field_text(reply.answer),
                                         stamping_of(p, pl, r), pl.rule, &f))
      die_failure(f);
    refuse(pl);
  }
  if (pl.kind == plan_kind::unscanned) log_unscanned("%s", pl.reason);
  if (pl.tagged) log_note("would be refused by %s (tag only)", pl.rule);
  hand_on(p, m, e, stamping_of(p, pl, r));
}
