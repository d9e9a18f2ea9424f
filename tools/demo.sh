#!/bin/sh
# Builds qmail-zelmd and pushes sample messages through it the way
# qmail-smtpd does: message on descriptor 0, envelope on descriptor 1, a
# qmail home as current directory, and a queue program that records what
# it is handed.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

need="cmake g++ make pkg-config libgtest-dev libcpp-httplib-dev python3"
missing=""
for p in $need; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qmail-zelmd zelmd-sim >/dev/null
exec python3 tools/demo.py
