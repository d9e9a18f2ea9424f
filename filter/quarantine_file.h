#ifndef QUARANTINE_FILE_H
#define QUARANTINE_FILE_H

// A refused message kept for release: a header of "name value" lines an
// administrator can read with head, ended by an empty line, then the
// envelope as the queue program must receive it, the daemon's answer and
// the message as it would have been queued:
//
//   qmail-zelmd quarantine 1
//   envelope 00000000000000000047
//   answer 00000000000000000214
//   message 00000000000000001843
//   ip 192.0.2.7
//   time 2024-05-01T10:00:00Z
//   reason control/zelmd_onsession_in_block_spam
//
// The lengths have a fixed width, so that the message's can be written in
// place once the message is; until then it reads "unfinished----------",
// and a writer that died leaves a file no reader takes for complete. The
// reader ignores the lines other than the lengths.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "stralloc.h"

// Makes a new file in dir, mode 0600, close-on-exec, named
// "<dir>/<unix time>.<pid>.XXXXXX" so that the names sort by time; the
// name in name (size bytes). The descriptor, or -1 with errno:
// ENAMETOOLONG when the name would not fit, ENOENT for an empty dir.
int quarantine_create(std::string_view dir, char *name, size_t size);

// Writes the header, the message's length left unfinished, the envelope
// and the answer at the descriptor's offset, which must be 0. items are
// the envelope's items as the filter holds them, without the closing empty
// item, which is written here. remoteip and reason are the client's and
// the refusing rule's words, made safe for a header line. 0 or -1 with
// errno.
int quarantine_begin(int fd, std::string_view items, std::string_view answer,
                     std::string_view remoteip, std::string_view reason);
// The message was written behind the answer: its length goes in place,
// then everything to disk. 0 or -1 with errno.
int quarantine_end(int fd, uint64_t message_len);

struct quarantine_info {
  uint64_t envelope_at, envelope_len; // the envelope, closing item included
  uint64_t answer_at, answer_len;
  uint64_t message_at, message_len;
  stralloc envelope; // its bytes
  // After -1: what makes the file no complete quarantine file, starting
  // "not a quarantine file" or "incomplete"; null when it could not be
  // read (errno).
  const char *why;
};
// Reads and checks the file on fd, from its start whatever the offset:
// the header, lengths that account for every byte of the file, an
// envelope of items and its closing item. 0, or -1 with why.
int quarantine_read(int fd, quarantine_info *q);

#endif
