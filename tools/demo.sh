#!/bin/sh
# Builds qmail-zelmd and pushes sample messages through it the way
# qmail-smtpd does: message on descriptor 0, envelope on descriptor 1, a
# qmail home as current directory, and a queue program that records what
# it is handed.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

. tools/need.sh
need cmake g++ make pkg-config libgtest-dev libcpp-httplib-dev libcdb-dev python3

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qmail-zelmd qmail-zelmd-check qmail-zelmd-stat zelmd-sim >/dev/null
exec python3 tools/demo.py
