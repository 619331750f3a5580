#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan, UBSan) and runs each for
# a bounded time, starting from the seed corpus in fuzz/corpus/<name> plus what
# earlier runs kept in <build>/fuzz-corpus/<name>. Fails on the first target that
# finds a crash, leak, time-out or out-of-memory; the reproducer is left in
# <build>/fuzz-artifacts/<name>/ (replay: <build>/bin/fuzz_<name> FILE).
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_JOBS      parallel fuzzing processes per target (default 1)
#   FUZZ_TARGETS   names to run (default all: see fuzz/corpus)
#   BUILD_DIR      build folder (default build-fuzz)
#   FUZZ_SIDE_BY_SIDE=1  run every target at once in the idle scheduling class
#                  (chrt --idle), so a long run takes only CPU nobody else wants;
#                  each prints the CPU seconds it got
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-fuzz}
SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}
JOBS=${FUZZ_JOBS:-1}
TARGETS=${FUZZ_TARGETS:-$(ls fuzz/corpus)}
ROOT=$PWD
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac

cmake --preset fuzz -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j"${BUILD_JOBS:-2}" --target kestrup_fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# The targets write their scratch files here, one folder per process.
export TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT

# A starved idle-class process can take long in wall time over an input that is
# fast: its per-input time-out is raised so that only real hangs are reported.
SIDE_BY_SIDE=${FUZZ_SIDE_BY_SIDE:-0}
TIMEOUT=10
[ "$SIDE_BY_SIDE" = 1 ] && TIMEOUT=120

fuzz_one() {
  local name=$1
  local corpus="$BUILD_DIR/fuzz-corpus/$name"
  local artifacts="$BUILD_DIR/fuzz-artifacts/$name"
  local log="$BUILD_DIR/fuzz-artifacts/$name.log"
  mkdir -p "$corpus" "$artifacts" "$TMPDIR/$name"
  # Parallel jobs write their own fuzz-N.log into the working folder: the artifacts one.
  local parallel=() idle=()
  [ "$JOBS" -gt 1 ] && parallel=(-jobs="$JOBS" -workers="$JOBS")
  [ "$SIDE_BY_SIDE" = 1 ] && idle=(chrt --idle 0)
  local TIMEFORMAT="cpu: %U s user, %S s system, %R s wall"
  if ! { time (cd "$artifacts" && TMPDIR="$TMPDIR/$name" "${idle[@]}" "$BUILD_DIR/bin/fuzz_$name" \
        -max_total_time="$SECONDS_PER_TARGET" -timeout="$TIMEOUT" \
        -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 "${parallel[@]}" \
        -artifact_prefix="$artifacts/" "$corpus" "$ROOT/fuzz/corpus/$name") >"$log" 2>&1; } 2>>"$log"; then
    echo "fuzz_$name FAILED; reproducer and log in $artifacts/ and $log" >&2
    tail -40 "$log" >&2
    return 1
  fi
  echo "fuzz_$name:"
  grep -h -E "stat::number_of_executed_units|cov: [0-9]+|^cpu: " "$log" | tail -3 | sed 's/^/  /'
}

status=0
if [ "$SIDE_BY_SIDE" = 1 ]; then
  echo "fuzzing $(echo $TARGETS | wc -w) targets side by side, ${SECONDS_PER_TARGET}s x $JOBS each"
  pids=()
  for name in $TARGETS; do fuzz_one "$name" & pids+=($!); done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
else
  for name in $TARGETS; do
    echo "fuzz_$name: ${SECONDS_PER_TARGET}s x $JOBS"
    fuzz_one "$name" || status=1
  done
fi
exit $status
