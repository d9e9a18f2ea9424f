#ifndef FORWARD_H
#define FORWARD_H

#include "classify_result.h"
#include "decide.h"
#include "failure.h"
#include "intake.h"
#include "policy.h"
#include "qmail.h"
#include "setup.h"

#include <string_view>

// How the message looks handed on: as received (untouched), without the
// X-ZELM- fields it came with (unscanned), or with ours in their place
// (stamped), then perhaps with a tag before its subject.
struct stamping {
  plan_kind how;
  const ClassifyResult *r;      // stamped: the verdict
  bool sender_lines;            // stamped: with the sender lines
  std::string_view subject_tag; // stamped: put before the Subject:; empty: none
};
stamping stamping_of(const policy &p, const plan &pl, const ClassifyResult &r);

// The stamped lines of a verdict.
void put_verdict_lines(const ClassifyResult &r, bool sender_lines, qmail_handle *qq);
// The message as it goes to the queue program.
int put_message(const message &m, const stamping &st, qmail_handle *qq, failure *f);
// Hands message and envelope to the queue program and waits for it: its
// exit code, with a failure for every end other than 0.
int forward(const policy &p, const message &m, const envelope &e, const stamping &st,
            failure *f);

// Mail that nothing can classify: the queue program takes this process's
// place, descriptors and all, and its exit code is the filter's. Returns
// only when it could not be run.
int pass_through(const settings &s, failure *f);

#endif
