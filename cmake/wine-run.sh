#!/bin/sh
# Runs a Windows program under 64-bit Wine, quietly:
#   wine-run.sh [--prefix WINEPREFIX] PROGRAM.exe [ARGS...]
# The prefix defaults to KESTRUP_WINEPREFIX, else WINEPREFIX, else ./wine; the
# build tree passes its own, made on first use.
if [ "$1" = "--prefix" ]; then
  KESTRUP_WINEPREFIX=$2
  shift 2
fi
WINEPREFIX=${KESTRUP_WINEPREFIX:-${WINEPREFIX:-$PWD/wine}}
WINEDEBUG=${KESTRUP_WINEDEBUG:--all}
export WINEPREFIX WINEDEBUG
exec /usr/lib/wine/wine64 "$@"
