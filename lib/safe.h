#ifndef SAFE_H
#define SAFE_H

#include <cstddef>
#include <string_view>

// Untrusted text on its way into a request, a header line or a log line:
// copies from into to (at most size - 1 bytes, then a NUL) with every
// control byte (below 0x20, and 0x7f) replaced by '?', a tab kept only when
// keep_tab. Returns the bytes copied, the NUL not counted. Safe in a signal
// handler.
size_t safe_copy(char *to, size_t size, std::string_view from, bool keep_tab);

#endif
