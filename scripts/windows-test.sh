#!/usr/bin/env bash
# The Windows phase: builds the dependencies (reused when their versions did not
# change), builds every Windows target with the windows preset, runs the test
# suite under Wine, then the offline demo under Wine. Prints how long each part took.
#   JOBS  parallel jobs (default: nproc)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

timed() { # LABEL COMMAND...
  local label=$1 start=$SECONDS
  shift
  "$@"
  TIMES+=("$label: $((SECONDS - start)) s")
}
TIMES=()

timed "Windows dependencies" bash scripts/windows-deps.sh
timed "Windows configure and build" bash -c "cmake --preset windows && cmake --build --preset windows -j$JOBS"
timed "Windows tests under Wine" ctest --preset windows -j"$JOBS"
# The launcher's calls on Linux and under Wine, side by side (needs the Linux build's programs).
if [[ -x build/bin/kestrup-launcher-observations ]]; then
  timed "Launcher observations" env WINEPREFIX="$PWD/build-windows/wine" \
    bash scripts/compare-launcher-observations.sh build/bin build-windows/bin
fi
timed "Windows demo under Wine" bash scripts/windows-demo.sh
printf 'windows-test: %s\n' "${TIMES[@]}"
