#!/bin/sh
# Builds qmail-zelmd and runs the whole test suite twice: the normal build
# (arena allocator) and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (every allocation from the heap), then a short
# run of each fuzz target.
set -eu
cd "$(dirname "$0")/.."

. tools/need.sh
need cmake g++ make pkg-config libgtest-dev libcpp-httplib-dev libcdb-dev lintian iproute2
# HAProxy in front of two daemons: its test skips without it.
want haproxy

jobs=$(nproc)
status=0
for variant in normal sanitize; do
  case $variant in
    normal) dir=build; flags="" ;;
    sanitize) dir=build-asan; flags="-DZELMD_SANITIZE=ON" ;;
  esac
  echo "== $variant build ($dir)"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMD_WERROR=ON $flags >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
  (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=1
done
echo "== fuzz smoke run (build-fuzz)"
sh tools/fuzz.sh || status=1
exit $status
