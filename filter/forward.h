#ifndef FORWARD_H
#define FORWARD_H

#include "classify_result.h"
#include "decide.h"
#include "failure.h"
#include "intake.h"
#include "policy.h"
#include "qmail.h"

// The stamped lines of a verdict.
void put_verdict_lines(const ClassifyResult &r, bool sender_lines, qmail_handle *qq);
// The message as it goes to the queue program: as received (untouched),
// without the X-ZELM- fields it came with (unscanned), or with ours in
// their place (stamped).
int put_message(const message &m, const ClassifyResult *r, bool sender_lines, plan_kind how,
                qmail_handle *qq, failure *f);
// Hands message and envelope to the queue program and waits for it: its
// exit code, with a failure for every end other than 0.
int forward(const policy &p, const message &m, const envelope &e, plan_kind how,
            const ClassifyResult *r, failure *f);

#endif
