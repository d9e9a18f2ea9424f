#!/bin/sh
# Builds the libFuzzer targets with clang (in build-fuzz/) and runs each for
# the given number of seconds, 10 by default (about 30 s for all three).
# Inputs found along the way collect in build-fuzz/fuzz/corpus-<target>/ and
# are read again by the next run; the seeds in fuzz/corpus/ stay as they are.
# A failing input is written as build-fuzz/fuzz/<target>-crash-<hash>.
#
#   sh tools/fuzz.sh         # smoke run
#   sh tools/fuzz.sh 600     # ten minutes each
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-10}
case $seconds in
  ''|*[!0-9]*) echo "usage: $0 [seconds per target]" >&2; exit 2 ;;
esac

. tools/need.sh
need cmake make pkg-config libcpp-httplib-dev libcdb-dev clang libclang-rt-14-dev

targets="envelope answer http_reader"
dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMD_WERROR=ON -DZELMD_FUZZ=ON -DZELMD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target $(for t in $targets; do echo "fuzz_$t"; done) >/dev/null

status=0
for t in $targets; do
  work="$dir/fuzz/corpus-$t"
  log="$dir/fuzz/$t.log"
  mkdir -p "$work"
  # The reader's line and head limits lie beyond libFuzzer's default 4096 bytes.
  case $t in
    http_reader) longest=70000 ;;
    *) longest=4096 ;;
  esac
  # The first directory takes new inputs; the seeds run first of all.
  if "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -max_len="$longest" \
      -print_final_stats=1 \
      -artifact_prefix="$dir/fuzz/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$t: ${runs:-?} inputs in ${seconds}s, no failure"
  else
    echo "fuzz_$t: FAILED (log: $log)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|[a-z_]+: |artifact_prefix|Test unit written)' "$log" | head -20
    status=1
  fi
done
exit $status
