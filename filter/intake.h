#ifndef INTAKE_H
#define INTAKE_H

#include <cstdint>
#include <ctime>
#include <string_view>

#include "failure.h"
#include "setup.h"
#include "stralloc.h"
#include "substdio.h"

inline constexpr int MESSAGE_BUFFER_SIZE = 32000;

// The header is everything before the first empty line ("\n" or "\r\n" at
// the start of the message or right after a "\n"), found while the message
// is read, however long the header and whatever bytes it holds. A zeroed
// state stands at the start of a message.
struct header_state {
  uint64_t end; // offset of the empty line; without one, the message's length
  int found;    // 1 once the empty line is seen
  enum { start, mid, after_cr } line;
};
void header_scan(header_state *h, const char *buf, size_t len);

struct message {
  char message_buffer[MESSAGE_BUFFER_SIZE]; // the message, when it fits
  uint64_t size;      // its bytes, NUL bytes included, in memory or spooled
  char workdir[128];  // the working directory, once made
  char workfile[192]; // the spool file, once made: the message is spooled
  bool private_spool; // in a directory of its own under /tmp, which no daemon reads
  time_t start;
  header_state header;

  bool spooled() const { return workfile[0] != 0; }
  // The message held in memory; empty when it is spooled.
  std::string_view text() const {
    return spooled() ? std::string_view() : std::string_view(message_buffer, size);
  }
};

// The envelope as it came, and what it names.
struct envelope {
  // Every whole item as it came, in order, without the closing empty item
  // (qmail_close writes that one): the queue program gets them byte for byte.
  stralloc items;
  std::string_view sender;      // the F item's address; empty for none and for <>
  std::string_view *recipients; // the T items' addresses in order, empty ones too
  uint32_t recipient_count;
};

// Reads the message from fd: in memory below 32000 bytes, else into a
// spool file in a working directory. by_name: the daemon reads the spool
// file by its name where it can.
int read_message(message *m, int fd, const settings &s, bool by_name, failure *f);
// Reads the envelope from in as qmail-queue would: 0, 54 or 91.
int read_envelope(substdio *in, envelope *e, failure *f);
// Sender and recipients named from the items.
int envelope_addresses(envelope *e, failure *f);
// The envelope from descriptor 1, under the time limit of intake.
int read_envelope_fd1(envelope *e, failure *f);

#endif
