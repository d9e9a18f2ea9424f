#ifndef HTTP_CLIENT_H
#define HTTP_CLIENT_H

#include <cstdint>
#include <string_view>

#include "stralloc.h"

// The longest texts a request carries; longer ones are cut to these.
inline constexpr uint32_t ZELMD_HOST_MAX = 127;
inline constexpr uint32_t ZELMD_PORT_MAX = 5;
inline constexpr uint32_t ZELMD_MAILFROM_MAX = 191;
inline constexpr uint32_t ZELMD_SENDERIP_MAX = 127;
inline constexpr uint32_t ZELMD_SENDERID_MAX = 127;

// One classification request. An empty host or port is "localhost" or
// "8088". Client text (sender, address, identity) has its control bytes
// made '?' on the way.
struct zelmd_request {
  std::string_view host, port;
  std::string_view mail_from;
  std::string_view sender_ip;
  const char *sender_id; // null: no identity line (inbound, or none chosen)
  std::string_view message; // held in memory, NUL bytes and all; or
  const char *spool_file;   // spooled: sent by its name to "localhost", else read from it
  bool spool_inline;        // the spool file is out of the daemon's reach: read from it
  int timeout;              // seconds for the whole exchange; 0: no limit
  int connect_timeout;      // seconds one address may take to connect; 0: no own limit
};

struct zelmd_reply {
  stralloc answer; // the answer's body, NUL-terminated
  char why[256];   // why there is none, naming the daemon
};

// The daemon's name as the request has it, cut and defaulted.
struct zelmd_daemon {
  char host[ZELMD_HOST_MAX + 1];
  char port[ZELMD_PORT_MAX + 1];
};
zelmd_daemon zelmd_daemon_of(const zelmd_request &rq);
// Whether the daemon gets a spooled message by its file name.
bool zelmd_reads_files(std::string_view host);

// Posts the message to the daemon: 0 with an answer of status 200-299, or
// -1 with why not (a request that could not be made, no answer in time,
// an error status, an answer cut, malformed or too large).
int process_zelmd_request(const zelmd_request &rq, zelmd_reply *reply);

// The pieces of a request, as process_zelmd_request puts them together.
void SetDestination(char *url, const zelmd_daemon &d);
int SetZELMHeader(stralloc *body, const zelmd_request &rq);

#endif
