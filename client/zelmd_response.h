#ifndef ZELMD_RESPONSE_H
#define ZELMD_RESPONSE_H

#include <cstddef>
#include <string_view>

#include "classify_result.h"
#include "stralloc.h"

// The value of the first line named name: 1 and the value, or 0.
int find_header_value(const char *answer, const char *name, stralloc *value);

// Fills r from the daemon's answer; the sender lines only when outbound
// (outbound mail with the sender features on). 0, or -1 when one of the
// required lines is missing and the answer is unusable.
int parse_zelmd_response(const char *answer, bool outbound, ClassifyResult *r);

// The line logged for the message: "IN  IP: ..." when in_form (inbound
// mail with the inbound switch at 1), else one of the "OUT IP: ..." forms,
// or "IP: ... - unable to processes response" for an unusable answer.
// Written to buf as safe text (no control bytes); its length.
size_t zelmd_response_line(char *buf, size_t size, const ClassifyResult &r, bool usable,
                           bool in_form, const char *remoteip, std::string_view mail_from);

#endif
