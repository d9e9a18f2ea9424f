#!/bin/sh
# "-v" as the first argument prints the version line with the name as
# invoked and reads nothing; anywhere else it is not the version switch.
set -eu
bin=$1 version=$2
cd "$(dirname "$bin")"
out=$(./qmail-zelmd -v </dev/null)
[ "$out" = "./qmail-zelmd ver $version" ] || { echo "got: $out"; exit 1; }
out=$(./qmail-zelmd -v extra </dev/null)
[ "$out" = "./qmail-zelmd ver $version" ] || { echo "got: $out"; exit 1; }
out=$("$bin" -v </dev/null)
[ "$out" = "$bin ver $version" ] || { echo "got: $out"; exit 1; }
# -v as the second argument: the filter runs as a filter and, classifying,
# reads what it is given, here an empty message and an envelope cut off at
# once (54).
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
trap 'exit 1' HUP INT TERM
mkdir "$home/control"
echo 1 > "$home/control/zelmd_check_inbound"
echo 127.0.0.1 > "$home/control/zelmd_in_host"
rc=0
(cd "$home" && "$bin" x -v </dev/null 1</dev/null 2>/dev/null) || rc=$?
[ "$rc" = 54 ] || { echo "exit $rc, want 54"; exit 1; }
echo "version: ok"
