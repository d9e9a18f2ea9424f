#ifndef EXITCODE_H
#define EXITCODE_H

// Every exit code the filter can end with. qmail reads them as the
// exit codes of qmail-queue, so they follow its convention.
enum exitcode : int {
  exit_ok = 0,           // accepted (also the version switch)
  exit_config = 1,       // own configuration or descriptor failure
  exit_perm = 31,        // permanent refusal
  exit_envelope_read = 54, // envelope without sender and recipient
  exit_home = 61,        // queue program's child could not enter the qmail home
  exit_temp = 71,        // temporary refusal
  exit_custom = 82,      // refused, with the reply for the client on descriptor 6
  exit_envelope_bad = 91, // malformed envelope
  exit_exec = 120,       // queue program could not be started in the child
};

#endif
