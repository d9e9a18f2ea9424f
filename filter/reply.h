#ifndef REPLY_H
#define REPLY_H

#include <cstddef>
#include <string_view>

// Why a message is refused, in the sender's words ("message refused as
// spam"), with the enhanced status code that goes with it.
struct refusal {
  int code; // 31 or 71
  const char *words;
  const char *status; // "5.7.1", "4.7.1", "4.3.0"
};
extern const refusal refusal_unavailable; // the daemon could not be consulted

// The reply a qmail-smtpd that reads descriptor 6 gives the client when
// the queue program ends with 82: "D" (permanent) or "Z" (temporary), the
// words, the daemon's reference when there is one, the status code;
// printable ASCII, at most 255 bytes. Its length.
size_t custom_reply(char *buf, const refusal &why, std::string_view refid);
// What qmail-smtpd answers the client for the refusal: its own words, or
// with custom the reply above.
void smtp_reply(char *buf, size_t size, bool custom, const refusal &why, std::string_view refid);
// Text to the client on descriptor 6 when that is a pipe that takes it
// whole: true, and the run ends with 82.
bool tell_client(const char *text, size_t len);

#endif
