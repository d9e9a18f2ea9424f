#include <sys/resource.h>

#include <cstdio>

#include "env.h"
#include "exitcode.h"
#include "http_client.h"
#include "log.h"
#include "now.h"
#include "qmail-zelmd.h"
#include "str.h"
#include "zelmd_response.h"

namespace {
constexpr char VERSION[] = "1.5";

// The queue program must be startable, but the limit counts every process
// of the user, and hundreds of SMTP sessions may share it: a low soft
// limit is raised, a higher one is never lowered.
void set_process_limit() {
  rlimit r;
  if (getrlimit(RLIMIT_NPROC, &r) == -1 || r.rlim_cur >= 1024) return;
  r.rlim_cur = r.rlim_max < 1024 ? r.rlim_max : 1024;
  setrlimit(RLIMIT_NPROC, &r);
}

} // namespace

int main(int argc, char **argv) {
  ClassifyResult result = {};

  if (argc > 1 && !str_diff(argv[1], "-v")) {
    std::printf("%s ver %s\n", argv[0], VERSION);
    return exit_ok;
  }

  // The address first: every log line names it, also that of a failure
  // during setup.
  relayclient = env_get("RELAYCLIENT");
  if (!relayclient) relayclient = env_get("SMTPAUTHUSER");
  smtpauthuser = env_get("SMTPAUTHUSER");
  remoteip = env_get("TCPREMOTEIP");
  if (!remoteip) remoteip = "127.0.0.1";
  log_init("qmail-zelmd");

  set_process_limit();
  catch_signals();
  setup();
  choose_direction(relayclient != nullptr);
  const int classify = relayclient ? zelmd_check_outbound : zelmd_check_inbound;
  // An empty host is the client's "localhost" too.
  spool_by_name = classify && (!zelmd_host.len || stralloc_view(&zelmd_host) == "localhost");
  start = now();
  isStream = read_message();
  read_address();

  if (!classify) forward(&result, forward_untouched);

  if (classify_message() != 0) {
    if (zelmd_require_scan) die(exit_temp, "%s", g_sError);
    log_unscanned("%s", g_sError);
    forward(&result, forward_unforged);
  }
  if (parse_zelmd_response(zelmd_response, &result) == 4 && zelmd_require_scan)
    die(exit_temp, "daemon %s:%s: answer without the required X-ZELM- lines", g_sHost, g_sPort);
  verdict(zelmd_response, &result);
  forward(&result, forward_stamped);
}
