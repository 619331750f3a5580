#!/usr/bin/env bash
# The differential launcher test: runs the launcher observation program built for
# Linux and the one built for Windows (under Wine) and fails unless both print the
# same observations, line for line.
#
#   scripts/compare-launcher-observations.sh NATIVE_BIN [WINDOWS_BIN]
#
# NATIVE_BIN, WINDOWS_BIN: folders holding kestrup-launcher-observations and
# kestrup-argv-recorder (with .exe for Windows), e.g. build/bin and
# build-windows/bin. Without WINDOWS_BIN the two Windows programs are built here
# with a plain mingw-w64 command line (they need only platform/).
# WINE: the Wine loader or a wrapper (default /usr/lib/wine/wine64); WINEPREFIX as usual.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
native_bin=${1:?usage: $0 NATIVE_BIN [WINDOWS_BIN]}
windows_bin=${2:-}
wine=${WINE:-/usr/lib/wine/wine64}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ -z $windows_bin ]]; then
  windows_bin=$work/windows
  mkdir -p "$windows_bin"
  cxx=x86_64-w64-mingw32-g++-posix
  x86_64-w64-mingw32-windres "$source_dir/platform/Utf8CodePage.rc" -O coff -o "$work/codepage.o"
  "$cxx" -std=c++17 -O1 -I"$source_dir" -I"$source_dir/plugin/kestrup" \
    "$source_dir/tests/launcher/LauncherObservations.cpp" "$source_dir/plugin/kestrup/InstallerLaunch.cpp" \
    "$source_dir"/platform/*.cpp "$work/codepage.o" -static -lbcrypt -lshell32 \
    -o "$windows_bin/kestrup-launcher-observations.exe"
  "$cxx" -std=c++17 -O1 -municode "$source_dir/tests/launcher/ArgvRecorder.cpp" "$work/codepage.o" -static \
    -o "$windows_bin/kestrup-argv-recorder.exe"
fi

status=0
"$native_bin/kestrup-launcher-observations" "$native_bin/kestrup-argv-recorder" > "$work/linux.txt" || status=$?
WINEDEBUG=${WINEDEBUG:--all} "$wine" "$windows_bin/kestrup-launcher-observations.exe" \
  "$windows_bin/kestrup-argv-recorder.exe" | tr -d '\r' > "$work/windows.txt" || status=$?

if ! diff -u --label linux "$work/linux.txt" --label windows "$work/windows.txt"; then
  echo "compare-launcher-observations: the two platforms differ (see above)" >&2
  exit 1
fi
if [[ $status -ne 0 ]]; then
  echo "compare-launcher-observations: an observation could not be made (exit $status)" >&2
  exit 1
fi
echo "compare-launcher-observations: $(wc -l < "$work/linux.txt") observations, identical on Linux and Windows"
