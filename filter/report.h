#ifndef REPORT_H
#define REPORT_H

#include <string_view>

#include "classify_result.h"
#include "forward.h"
#include "failure.h"
#include "intake.h"
#include "policy.h"

// The report copy of a flagged sender's message: the answer, then the
// message as received, in a new file of the report folder; 0 or 71.
int write_report_copy(const policy &p, const client &c, const message &m, std::string_view answer,
                      const ClassifyResult &r, failure *f);

// A message refused by a rule, kept for release in the quarantine folder:
// the envelope, the answer and the message as it would have been queued,
// on disk before the refusal is given; 0, or 71 with nothing kept.
int write_quarantine_copy(const policy &p, const client &c, const message &m, const envelope &e,
                          std::string_view answer, const stamping &st, const char *rule,
                          failure *f);

#endif
