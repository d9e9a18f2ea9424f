#!/bin/sh
# "-v" as the first argument prints the version line with the name as
# invoked and reads nothing; anywhere else it is not the version switch.
set -eu
bin=$1
cd "$(dirname "$bin")"
out=$(./qmail-zelmd -v </dev/null)
[ "$out" = "./qmail-zelmd ver 1.5" ] || { echo "got: $out"; exit 1; }
out=$(./qmail-zelmd -v extra </dev/null)
[ "$out" = "./qmail-zelmd ver 1.5" ] || { echo "got: $out"; exit 1; }
out=$("$bin" -v </dev/null)
[ "$out" = "$bin ver 1.5" ] || { echo "got: $out"; exit 1; }
# -v as the second argument: the filter runs as a filter, so no version line.
out=$(cd /tmp && "$bin" x -v </dev/null 2>/dev/null 1>&2 || true)
[ -z "$out" ] || { echo "got: $out"; exit 1; }
echo "version: ok"
