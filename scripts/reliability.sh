#!/usr/bin/env bash
# CI's reliability phase, after the test suite (which already walks injected store
# I/O errors): a bounded fuzzing run of every target, a crash campaign against the
# default build, and the threaded tests built with ThreadSanitizer.
#
#   FUZZ_SECONDS    per fuzz target (default 45: each target replays its seeds and
#                   searches for most of a minute; long runs are separate)
#   CRASH_POINTS    kill points of the crash campaign (default 200)
#   CRASH_WORKERS   its parallel workers (default 4)
#   BUILD_DIR       the default build that scripts/test.sh made (default build)
set -euo pipefail
cd "$(dirname "$0")/.."

phase() { echo "== reliability: $1 ($(( $(date +%s) - started )) s so far)"; }
started=$(date +%s)

# The campaign's hosts mostly wait on the slowed mirror, so it runs beside the
# builds and fuzzers below instead of after them. Its own session, so that an early
# exit ends its workers and hosts too (and a campaign that already ended is no error).
phase "crash campaign (in the background)"
campaign_log=$(mktemp)
setsid python3 tools/crash_campaign.py --build "${BUILD_DIR:-build}" --points "${CRASH_POINTS:-200}" \
  --workers "${CRASH_WORKERS:-4}" >"$campaign_log" 2>&1 &
campaign=$!
trap 'kill -- -$campaign 2>/dev/null || true; rm -f "$campaign_log"' EXIT

phase "fuzzing"
FUZZ_SECONDS=${FUZZ_SECONDS:-45} BUILD_DIR=build-fuzz bash scripts/fuzz.sh

phase "ThreadSanitizer"
# Only the programs whose threads meet: the bus and its timed posts, the component,
# the proxy, the inactivity timer, and the host with its services end to end.
TSAN_TESTS=(bus_tests component_test
            component_module_test proxy_downloader_proxy_test messaging_shutdown_timer_test
            messaging_message_handler_test apps_host_road_test stress_component_test)
cmake --preset tsan >/dev/null
cmake --build build-tsan -j"${BUILD_JOBS:-2}" --target "${TSAN_TESTS[@]}" kestrup-host kestrup
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
regex="^($(IFS='|'; echo "${TSAN_TESTS[*]}"))\$"
ctest --test-dir build-tsan -j2 --output-on-failure -R "$regex"

phase "crash campaign's result"
status=0
wait $campaign || status=$?
cat "$campaign_log"
phase "done"
exit $status
