#!/bin/sh
# Around the filter tests: the queue program's child needs the qmail home
# to exist, and the filter makes its shared spool directory. Whatever was
# not there before the suite is removed after it, and only when empty.
# usage: fixture.sh setup|cleanup MARKER_DIR QMAIL_HOME
set -eu
mode=$1 markers=$2 home=$3
spool=/tmp/qmail-zelmd
mkdir -p "$markers"
case $mode in
  setup)
    # A marker that is already there is from a run that never cleaned up:
    # the directory is still ours.
    if [ ! -e "$home" ]; then
      mkdir -p "$home"
      : >"$markers/made-home"
    fi
    [ -e "$spool" ] || : >"$markers/made-spool"
    ;;
  cleanup)
    if [ -f "$markers/made-home" ]; then
      rmdir "$home" 2>/dev/null || echo "left $home: not empty"
      rm -f "$markers/made-home"
    fi
    if [ -f "$markers/made-spool" ]; then
      rmdir "$spool" 2>/dev/null || true
      rm -f "$markers/made-spool"
    fi
    ;;
  *) echo "usage: $0 setup|cleanup MARKER_DIR QMAIL_HOME" >&2; exit 2 ;;
esac
