#include <sys/resource.h>

#include <cstdio>
#include <ctime>

#include "env.h"
#include "exitcode.h"
#include "log.h"
#include "qmail-zelmd.h"
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

// One process, one message: the values live as long as it does.
settings s;
message m;
ClassifyResult result;
zelmd_reply reply;
failure f;

[[noreturn]] void hand_on(forward_how how, const ClassifyResult *r) {
  const int code = forward(s, m, r, how, &f);
  if (code) die_failure(f);
  exit_clean(exit_ok);
}

// A refusal, told to the client in the sender's words when the settings
// ask for it and qmail-smtpd listens on descriptor 6.
[[noreturn]] void refuse(const refusal &why, const char *reason) {
  char text[256];
  const size_t n = custom_reply(text, why, result.refid.s);
  if (tell_client(s, text, n)) die(exit_custom, "%s; replied \"%s\"", reason, text);
  die(why.code, "%s", reason);
}
} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && !str_diff(argv[1], "-v")) {
    std::printf("%s ver %s\n", argv[0], ZELMD_VERSION);
    return exit_ok;
  }

  // The address first: every log line names it, also that of a failure
  // during setup.
  client c = {};
  c.relayclient = env_get("RELAYCLIENT");
  if (!c.relayclient) c.relayclient = env_get("SMTPAUTHUSER");
  c.smtpauthuser = env_get("SMTPAUTHUSER");
  c.remoteip = env_get("TCPREMOTEIP");
  if (!c.remoteip) c.remoteip = "127.0.0.1";
  log_init("qmail-zelmd");
  die_setup(c.remoteip);

  set_process_limit();
  catch_signals();
  if (setup(&s, c.relayclient ? direction::outbound : direction::inbound, &f)) die_failure(f);
  const direction_settings &d = s.active();
  m.start = time(nullptr);
  if (read_message(&m, 0, s, d.zelmd_check && zelmd_reads_files(stralloc_view(&d.zelmd_host)),
                   &f) ||
      read_address(&m, &f))
    die_failure(f);

  if (!d.zelmd_check) hand_on(forward_untouched, nullptr);
  if (classify_message(s, c, m, &reply) != 0) {
    if (s.zelmd_require_scan) refuse(refusal_unavailable, reply.why);
    log_unscanned("%s", reply.why);
    hand_on(forward_unforged, nullptr);
  }
  const bool usable = parse_zelmd_response(reply.answer.s, s.sender_features(), &result) == 0;
  char line[4096];
  log_write(line, zelmd_response_line(line, sizeof line, result, usable, s.in_form(), c.remoteip,
                                      m.mail_from));
  if (!usable && s.zelmd_require_scan) {
    const zelmd_daemon daemon = zelmd_daemon_of(classify_request(s, c, m));
    char reason[300];
    std::snprintf(reason, sizeof reason, "daemon %s:%s: answer without the required X-ZELM- lines",
                  daemon.host, daemon.port);
    refuse(refusal_unavailable, reason);
  }
  const decision v = verdict(s, result);
  if (v.report && handle_zelmd_outbound_message(s, c, m, reply.answer.s, result, &f))
    die_failure(f);
  if (v.code) {
    char reason[100];
    std::snprintf(reason, sizeof reason, "refused by %s", v.rule);
    refuse(v.why, reason);
  }
  hand_on(forward_stamped, &result);
}
