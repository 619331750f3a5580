#!/bin/sh
# Starts or ends the one wineserver that a test run shares, so that each test
# program does not pay for starting its own:
#   wine-session.sh start|stop WINEPREFIX
# `start` also creates the prefix on first use (several seconds, once).
set -e
action=$1
WINEPREFIX=$2
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    # The server lives on after this script: it must not hold CTest's output pipe
    # open, or CTest waits for it to end. One still running (or still ending) for
    # this prefix refuses to start another; wineboot then reaches whichever runs.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 start|stop WINEPREFIX" >&2
    exit 64
    ;;
esac
