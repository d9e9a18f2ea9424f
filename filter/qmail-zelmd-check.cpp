// qmail-zelmd-check: reads the control files as the filter does and checks,
// as the user it runs as, what the filter will need.
#include <cstdio>

#include "qmail-zelmd.h"

int main() {
  std::printf("qmail-zelmd-check: not yet\n");
  return 0;
}
