# shellcheck shell=bash
# The update road of the offline demo, shared by demo.sh and windows-demo.sh
# (sourced). demo_road expects: APP (the application id), DEMO_DIR (holds
# registry.xml and data/), CONFIG (the --config value), and a function run_host
# that runs the host program with the arguments given. It ends the script with a
# failure unless the road ends with the registry at version 2 and the workflow Idle.

step() { printf '\n==> %s\n' "$*"; }
fail() { printf '\ndemo: FAILED: %s\n' "$*" >&2; exit 1; }
registry_version() { sed -n "s/.*id=\"$APP\" version=\"\([0-9]*\)\".*/\1/p" "$DEMO_DIR/registry.xml"; }

# Runs the host, shows its exit code, and fails the demo on another one.
host() {
  local expected=$1
  shift
  echo "\$ kestrup-host $* --config $CONFIG"
  local code=0
  run_host "$@" --config "$CONFIG" || code=$?
  echo "(exit code $code)"
  [ "$code" -eq "$expected" ] || fail "kestrup-host $1 ended with exit code $code, expected $expected"
}

# Bad input on the road: the application went back to version 1 and the downloaded
# installer is gone before the host starts it again. The start fails with the
# file's absence logged (ERROR_FILE_NOT_FOUND, 0x2) and exit code 5; the next
# `update` checks anew, downloads the installer again and starts it.
missing_installer_road() {
  step "Bad input: back at version 1, and the downloaded installer is gone"
  sed -i -e "/id=\"$APP\"/s/version=\"[0-9]*\"/version=\"1\"/" "$DEMO_DIR/registry.xml"
  [ -n "$(find "$DEMO_DIR/data" -type f -name 'install-demo-app-2*' -print -delete)" ] ||
    fail "the downloaded installer is not in $DEMO_DIR/data"
  host 5 update --app "$APP"
  grep "INSTALL_PROCESS: Error when invoking ShellExecuteEx (0x2)" "$DEMO_DIR/data/kestrup-host.log" ||
    fail "the missing installer was not logged as error 0x2"

  step "Again: check, download and start the installer"
  host 0 update --app "$APP"
  wait_for_version_2
}

# The installer runs on its own after the host has ended.
wait_for_version_2() {
  for _ in $(seq 1 300); do
    [ "$(registry_version)" = 2 ] && break
    sleep 0.1
  done
  echo "The registry lists version $(registry_version)."
  [ "$(registry_version)" = 2 ] || fail "the installer did not record version 2"
}

demo_road() {
  echo "The registry lists application $APP at version $(registry_version)."

  step "First start: check, download and start the installer"
  host 0 update --app "$APP"

  step "The installer runs on its own; waiting for it to record version 2"
  wait_for_version_2

  missing_installer_road

  step "Second start: the component sees version 2, tells the backend and returns to Idle"
  host 2 status --app "$APP"

  step "The saved workflow and the registry"
  host 0 state --app "$APP"
  state=$(run_host state --config "$CONFIG")

  [ "$(registry_version)" = 2 ] || fail "the registry lists version $(registry_version), not 2"
  grep -q "Workflow state: Idle (1)" <<<"$state" || fail "the workflow is not Idle: $state"
  step "Done: the registry lists version 2 and the workflow is Idle. Log: $DEMO_DIR/data/kestrup-host.log"
}
