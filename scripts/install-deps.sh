#!/usr/bin/env bash
# Installs everything Kestrup needs to build, test and benchmark on Debian 12.
# Idempotent: packages already present are left alone, so a second run is quick.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libboost-dev libboost-thread-dev libboost-date-time-dev
  qt6-base-dev
  libsqlite3-dev sqlite3
  libpugixml-dev
  libcurl4-openssl-dev libssl-dev
  libsodium-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 curl openssl strace
  nginx-light
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
