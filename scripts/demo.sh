#!/usr/bin/env bash
# The whole update road of the offline demo, with no network needed: installs what
# is needed, builds kestrup-host and the plug-in module, prepares a demo folder
# (registry at version 1, a feed that offers version 2 signed with a key made for
# the folder, its installer) and runs
#   kestrup-host update --app ID   check, download with progress, start the installer
#   kestrup-host status --app ID   a second start: the new version is settled
#   kestrup-host state --app ID    the registered version and the workflow state
# Exits non-zero unless the road ends with the registry at version 2 and the
# workflow Idle.
#   BUILD_DIR  build folder (default: build)
#   DEMO_DIR   demo folder, made anew (default: $BUILD_DIR/demo)
set -euo pipefail
cd "$(dirname "$0")/.."

APP=7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d
BUILD_DIR=${BUILD_DIR:-build}
DEMO_DIR=${DEMO_DIR:-$BUILD_DIR/demo}

# shellcheck source=scripts/demo-road.sh
. scripts/demo-road.sh

bash scripts/install-deps.sh

step "Building kestrup-host and the plug-in module in $BUILD_DIR"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
cmake --build "$BUILD_DIR" --target kestrup-host kestrup -j"$(nproc)"
HOST="$(cd "$BUILD_DIR" && pwd)/bin/kestrup-host"

step "Preparing the demo folder $DEMO_DIR"
rm -rf "$DEMO_DIR"
DEMO_DIR=$(sh examples/offline-demo/prepare.sh "$DEMO_DIR" "$HOST")
cd "$DEMO_DIR"
ls -l
step "The feed is signed with the demo's own key, which the configuration trusts"
"$HOST" feed verify feed.xml --keys demo-feed.key.pub
CONFIG=kestrup-host.ini
run_host() { "$HOST" "$@"; }
demo_road
grep -q "is signed by trusted key" data/kestrup-host.log || fail "the host did not check the feed's signature"
