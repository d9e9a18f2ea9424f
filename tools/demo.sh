#!/bin/sh
# Builds qmail-zelmd and shows what it does.
set -eu
cd "$(dirname "$0")/.."

need="cmake g++ make libgtest-dev"
missing=""
for p in $need; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qmail-zelmd >/dev/null

echo "\$ build/qmail-zelmd -v"
build/qmail-zelmd -v
echo
echo "The filter's main flow is not built yet: the demo will push sample"
echo "messages through build/qmail-zelmd to a recording queue program."
