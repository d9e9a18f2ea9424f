#ifndef POLICY_COMPILE_H
#define POLICY_COMPILE_H

#include <string_view>

// What compiling the text gave: the entries written, or the bad line.
struct policy_compiled {
  unsigned long entries;
  unsigned long line; // the bad line, counted from 1; 0: none
  char why[400];      // "line N: reason"
};

// Compiles the text of control/zelmd_policy into a cdb written to fd (an
// empty file, open for reading and writing) with its meta record: 0; or -1
// at the first bad line (a line that does not parse, or a key given
// before, compared lowercased), or with errno when writing fails (line
// 0). The last line may lack its newline.
int policy_compile(std::string_view text, int fd, policy_compiled *c);

#endif
