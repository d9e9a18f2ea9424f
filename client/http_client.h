#ifndef HTTP_CLIENT_H
#define HTTP_CLIENT_H

#include <cstdint>

#include "stralloc.h"

// Seconds the whole exchange with the daemon may take; 0: no limit.
extern int g_iTimeout;
// Seconds one address of the daemon's name may take to complete the TCP
// connection before the next is tried; 0: only the overall limit.
extern int g_iConnectTimeout;
// Why the last request failed, naming the daemon.
extern char g_sError[256];
// The daemon the last request went to.
extern char g_sHost[128];
extern char g_sPort[6];

// Posts one message to the classification daemon: the message itself
// (inmemory non-zero: message holds messagelen bytes), or, when it was
// spooled, the spool file named by message. 0: an answer came and
// *response holds it as NUL-terminated text; 1: the request failed, or
// the answer was an HTTP error, and g_sError says why.
int process_zelmd_request(const char *host, uint32_t hostlen, const char *port, uint32_t portlen,
                          const char *mailfrom, const char *senderip, const char *senderid,
                          char outbound, const char *message, uint32_t messagelen, char inmemory,
                          char **response);

void SetDestination(char *url);
int SetZELMHeader(stralloc *body);
int SetBody(stralloc *body, char *url, const char *message, uint32_t messagelen);

#endif
