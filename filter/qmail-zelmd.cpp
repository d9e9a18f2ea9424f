#include <cstdio>

#include "exitcode.h"
#include "str.h"

namespace {
constexpr const char VERSION[] = "1.5";
}

int main(int argc, char **argv) {
  if (argc > 1 && !str_diff(argv[1], "-v")) {
    std::printf("%s ver %s\n", argv[0], VERSION);
    return exit_ok;
  }
  return exit_temp;
}
