#include "qmail-zelmd.h"

stralloc zelmd_host, zelmd_port;
int zelmd_block_spam, zelmd_block_bulk, zelmd_block_virus, zelmd_block_vhigh;
const char *remoteip;
char *zelmd_response;

namespace {
// A direction's daemon address and blocking switches, and the other
// direction's check switch, which is cleared so that later steps can tell
// the direction from the switches alone.
struct direction {
  const stralloc *host, *port;
  const int *spam, *bulk, *virus, *vhigh;
  int *other_check;
};

const direction inbound_direction = {
    &zelmd_in_host,       &zelmd_in_port,        &zelmd_in_block_spam, &zelmd_in_block_bulk,
    &zelmd_in_block_virus, &zelmd_in_block_vhigh, &zelmd_check_outbound};
const direction outbound_direction = {
    &zelmd_out_host,       &zelmd_out_port,        &zelmd_out_block_spam, &zelmd_out_block_bulk,
    &zelmd_out_block_virus, &zelmd_out_block_vhigh, &zelmd_check_inbound};
} // namespace

void choose_direction(int outbound) {
  const direction &d = outbound ? outbound_direction : inbound_direction;
  zelmd_host = *d.host;
  zelmd_port = *d.port;
  zelmd_block_spam = *d.spam;
  zelmd_block_bulk = *d.bulk;
  zelmd_block_virus = *d.virus;
  zelmd_block_vhigh = *d.vhigh;
  *d.other_check = 0;
}

