#ifndef ZELMD_RESPONSE_H
#define ZELMD_RESPONSE_H

#include "classify.h"
#include "stralloc.h"

// Set once an outbound answer carried every sender-reputation line.
extern int outbound_headers;

// What the parser reads of the filter's state: the direction switches,
// the client's address and the envelope sender.
extern int zelmd_check_inbound;
extern int zelmd_check_outbound;
extern const char *remoteip;
extern char mail_from[];

int find_header_value(const char *answer, const char *name, stralloc *value);
int parse_zelmd_response(const char *answer, ClassifyResult *result);

#endif
