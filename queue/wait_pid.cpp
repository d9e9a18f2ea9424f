#include <sys/wait.h>

#include "error.h"
#include "qmail.h"

int wait_pid(int *wstat, int64_t pid) {
  for (;;) {
    const pid_t r = waitpid(static_cast<pid_t>(pid), wstat, 0);
    if (r == -1 && errno == error_intr) continue;
    return r;
  }
}
