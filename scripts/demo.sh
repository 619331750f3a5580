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

step() { printf '\n==> %s\n' "$*"; }
fail() { printf '\ndemo: FAILED: %s\n' "$*" >&2; exit 1; }

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
registry_version() { sed -n "s/.*id=\"$APP\" version=\"\([0-9]*\)\".*/\1/p" registry.xml; }
echo "The registry lists application $APP at version $(registry_version)."

# Runs kestrup-host, shows its exit code, and fails the demo on another one.
host() {
  local expected=$1
  shift
  echo "\$ kestrup-host $* --config kestrup-host.ini"
  local code=0
  "$HOST" "$@" --config kestrup-host.ini || code=$?
  echo "(exit code $code)"
  [ "$code" -eq "$expected" ] || fail "kestrup-host $1 ended with exit code $code, expected $expected"
}

step "First start: check, download and start the installer"
host 0 update --app "$APP"

step "The installer runs on its own; waiting for it to record version 2"
for _ in $(seq 1 100); do
  [ "$(registry_version)" = 2 ] && break
  sleep 0.1
done
echo "The registry lists version $(registry_version)."

step "Second start: the component sees version 2, tells the backend and returns to Idle"
host 2 status --app "$APP"

step "The saved workflow and the registry"
host 0 state --app "$APP"
state=$("$HOST" state --config kestrup-host.ini)

[ "$(registry_version)" = 2 ] || fail "the registry lists version $(registry_version), not 2"
grep -q "Workflow state: Idle (1)" <<<"$state" || fail "the workflow is not Idle: $state"
grep -q "is signed by trusted key" data/kestrup-host.log || fail "the host did not check the feed's signature"
step "Done: the registry lists version 2 and the workflow is Idle. Log: $DEMO_DIR/data/kestrup-host.log"
