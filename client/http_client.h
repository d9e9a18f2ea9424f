#ifndef HTTP_CLIENT_H
#define HTTP_CLIENT_H

#include <cstdint>

// Posts one message to the classification daemon. 0: the request ran, and
// *response holds the answer when one came; non-zero: it failed.
int process_zelmd_request(const char *host, uint32_t hostlen, const char *port, uint32_t portlen,
                          const char *mailfrom, const char *senderip, const char *senderid,
                          char outbound, const char *message, uint32_t messagelen, char inmemory,
                          char **response);

#endif
