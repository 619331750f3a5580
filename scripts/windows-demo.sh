#!/usr/bin/env bash
# The offline demo's update road with the Windows build, under Wine:
#   kestrup-host.exe update   checks the feed, downloads the installer over file://
#                             with libcurl, verifies it, starts it with ShellExecuteExW
#   kestrup-host.exe status   a second start: the new version is settled
#   kestrup-host.exe state    the registered version and the workflow state
# The installer is install-demo-app-2.exe, built with the project. Exits non-zero
# unless the road ends with the registry at version 2 and the workflow Idle.
#   BUILD_DIR  the Windows build folder, built already (default: build-windows)
#   DEMO_DIR   demo folder, made anew (default: $BUILD_DIR/demo)
set -euo pipefail
cd "$(dirname "$0")/.."

APP=7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d
BUILD_DIR=$(cd "${BUILD_DIR:-build-windows}" && pwd)
DEMO_DIR=${DEMO_DIR:-$BUILD_DIR/demo}
HERE=examples/offline-demo
WINE=(cmake/wine-run.sh --prefix "$BUILD_DIR/wine")
# shellcheck source=scripts/demo-road.sh
. scripts/demo-road.sh

for file in bin/kestrup-host.exe lib/libkestrup.dll bin/install-demo-app-2.exe; do
  [ -f "$BUILD_DIR/$file" ] || fail "$BUILD_DIR/$file is missing: build the windows preset first"
done

# One wineserver for the whole road; ended however the script ends.
cmake/wine-session.sh start "$BUILD_DIR/wine"
trap 'cmake/wine-session.sh stop "$BUILD_DIR/wine"' EXIT
run_host() { "${WINE[@]}" "$BUILD_DIR/bin/kestrup-host.exe" "$@"; }
# The programs see the build machine's root as drive Z:.
windows_path() { printf 'Z:%s' "$1"; }

step "Preparing the demo folder $DEMO_DIR"
rm -rf "$DEMO_DIR"
DEMO_DIR=$(DEMO_INSTALLER="$BUILD_DIR/bin/install-demo-app-2.exe" DEMO_DRIVE=Z: \
  sh "$HERE/prepare.sh" "$DEMO_DIR" "${WINE[@]}" "$BUILD_DIR/bin/kestrup-host.exe")
# The installer program (static, a few MiB) is larger than the shell script the limit was set for.
sed -i -e 's/^MaxFileSize=.*/MaxFileSize=16777216/' "$DEMO_DIR/kestrup-host.ini"
ls -l "$DEMO_DIR"
step "The feed is signed with the demo's own key, which the configuration trusts"
run_host feed verify "$(windows_path "$DEMO_DIR/feed.xml")" --keys "$(windows_path "$DEMO_DIR/demo-feed.key.pub")"

CONFIG=$(windows_path "$DEMO_DIR/kestrup-host.ini")
demo_road
grep -q "is signed by trusted key" "$DEMO_DIR/data/kestrup-host.log" || fail "the host did not check the feed's signature"
