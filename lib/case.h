#ifndef CASE_H
#define CASE_H

// ASCII letters in lower case, whatever the locale: names, keys and
// addresses compare without regard to case this way.
inline char case_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

#endif
