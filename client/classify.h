#ifndef CLASSIFY_H
#define CLASSIFY_H

#include <cstdint>

#include "stralloc.h"

// The daemon's verdict on one message. Filled text fields are
// NUL-terminated; a field never filled is empty.
struct ClassifyResult {
  stralloc pver;
  stralloc spam;
  stralloc vod;
  stralloc flags;
  stralloc refid;
  stralloc senderid;
  stralloc senderid_flags;
  stralloc senderid_totalmessages;
  stralloc senderid_totalspam;
  stralloc senderid_totalsuspected;
  stralloc senderid_totalvirus;
  stralloc bluewhiteflag;
  int32_t bluewhiteflag_num;
};

#endif
