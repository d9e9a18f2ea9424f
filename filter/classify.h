#ifndef CLASSIFY_H
#define CLASSIFY_H

#include "http_client.h"
#include "intake.h"
#include "policy.h"

// The request for the message, with the sender identity the settings ask for.
zelmd_request classify_request(const policy &p, const client &c, const message &m,
                               const envelope &e);
int classify_message(const policy &p, const client &c, const message &m, const envelope &e,
                     zelmd_reply *reply);

#endif
