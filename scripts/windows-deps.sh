#!/usr/bin/env bash
# Builds Kestrup's dependencies for Windows x86-64 (x86_64-w64-mingw32) from
# Debian's own source packages, into a prefix inside the build tree:
#   Qt 6 Core (shared), Boost.Thread/chrono/atomic, SQLite, pugixml,
#   GoogleTest/GMock, libcurl (Schannel; FILE, HTTP, HTTPS), libsodium.
# Installs the cross tools and Wine first (idempotent), and adds a deb-src entry
# so that `apt-get source` works. A library is rebuilt only when its source
# version changed (one stamp per library in $PREFIX/stamps).
#   BUILD_DIR  the Windows build folder (default: build-windows)
#   PREFIX     where the libraries go (default: $BUILD_DIR/deps)
#   JOBS       parallel jobs (default: nproc)
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR=$PWD

BUILD_DIR=${BUILD_DIR:-build-windows}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
PREFIX=${PREFIX:-$BUILD_DIR/deps}
WORK=$BUILD_DIR/deps-build
JOBS=${JOBS:-$(nproc)}
TRIPLE=x86_64-w64-mingw32
TOOLCHAIN=$SOURCE_DIR/cmake/mingw-w64-x86_64.cmake
export KESTRUP_WINDOWS_DEPS=$PREFIX

log() { printf 'windows-deps: %s\n' "$*"; }
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# --- packages --------------------------------------------------------------------
PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine
  tcl autoconf automake libtool dpkg-dev
  cmake ninja-build libboost-dev qt6-base-dev-tools qt6-base-dev googletest
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# apt-get source needs a deb-src entry; Debian 12's image ships binary entries only.
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  log "adding a deb-src entry for bookworm main"
  $SUDO tee /etc/apt/sources.list.d/kestrup-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $SUDO apt-get update -q
fi

mkdir -p "$PREFIX/stamps" "$PREFIX/include" "$PREFIX/lib" "$PREFIX/bin" "$WORK"

# The version apt-get source would fetch, from the .dsc name it prints.
source_version() {
  apt-get source --print-uris -qq "$1" 2>/dev/null |
    sed -n "s/^'[^']*\/$1_\([^']*\)\.dsc'.*/\1/p" | head -n1
}

# up_to_date NAME VERSION: the stamp says this version is already built.
up_to_date() { [ -n "$2" ] && [ "$(cat "$PREFIX/stamps/$1" 2>/dev/null)" = "$2" ]; }
stamp() { printf '%s\n' "$2" >"$PREFIX/stamps/$1"; }

# fetch PKG: unpacks the Debian source package (patches applied) into $WORK/PKG
# and prints the source tree's path.
fetch() {
  local dir=$WORK/$1
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && apt-get source -q "$1" >apt-source.log 2>&1) || {
    cat "$dir/apt-source.log" >&2
    return 1
  }
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1
}

cmake_build() { # SRC BUILD ARGS...
  local src=$1 build=$2
  shift 2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DKESTRUP_WINDOWS_DEPS="$PREFIX" "$@" >"$build.configure.log" 2>&1 ||
    { tail -n 60 "$build.configure.log" >&2; return 1; }
  cmake --build "$build" -j"$JOBS" >"$build.build.log" 2>&1 ||
    { tail -n 60 "$build.build.log" >&2; return 1; }
  cmake --install "$build" >/dev/null
}

# build NAME VERSION FUNCTION: runs FUNCTION unless the stamp says VERSION is built.
build() {
  local name=$1 version=$2 fn=$3 start=$SECONDS
  if [ -z "$version" ]; then
    log "cannot tell the version of $name (is the deb-src entry there?)" >&2
    return 1
  fi
  if up_to_date "$name" "$version"; then
    log "$name $version: up to date"
    return 0
  fi
  log "$name $version: building"
  "$fn"
  stamp "$name" "$version"
  log "$name $version: done in $((SECONDS - start)) s"
}

build_pugixml() {
  local src
  src=$(fetch pugixml)
  cmake_build "$src" "$WORK/pugixml-build" -DBUILD_SHARED_LIBS=OFF -DPUGIXML_BUILD_TESTS=OFF
}

# The source package is the full tree: a native configure generates the one-file
# amalgamation (needs tclsh), which is then compiled with mingw.
build_sqlite() {
  local src
  src=$(fetch sqlite3)
  (cd "$src" && ./configure --disable-tcl >"$WORK/sqlite-configure.log" 2>&1 &&
    make sqlite3.c sqlite3.h >"$WORK/sqlite-make.log" 2>&1) ||
    { tail -n 40 "$WORK/sqlite-make.log" "$WORK/sqlite-configure.log" >&2; return 1; }
  $TRIPLE-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -c "$src/sqlite3.c" -o "$WORK/sqlite3.o"
  rm -f "$PREFIX/lib/libsqlite3.a"
  $TRIPLE-ar rcs "$PREFIX/lib/libsqlite3.a" "$WORK/sqlite3.o"
  cp "$src/sqlite3.h" "$src/sqlite3ext.h" "$PREFIX/include/" 2>/dev/null || cp "$src/sqlite3.h" "$PREFIX/include/"
}

build_googletest() {
  cmake_build /usr/src/googletest "$WORK/googletest-build" -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON \
    -Dgtest_disable_pthreads=OFF
}

# The source package carries no assembled boost/ folder; the build machine's
# headers are the same version and do not depend on the architecture.
build_boost() {
  local src out=$WORK/boost-objects
  src=$(fetch boost1.74)
  rm -rf "$out" && mkdir -p "$out"
  ln -sfn /usr/include/boost "$PREFIX/include/boost"
  local cxx=($TRIPLE-g++-posix -O2 -std=c++17 -I"$PREFIX/include" -DNDEBUG)
  local lib srcs
  compile_lib() { # NAME FLAGS... -- SOURCES...
    lib=$1
    shift
    local flags=()
    while [ "$1" != "--" ]; do flags+=("$1"); shift; done
    shift
    local objs=()
    for f in "$@"; do
      local o=$out/${lib}_$(basename "${f%.cpp}").o
      "${cxx[@]}" "${flags[@]}" -c "$src/$f" -o "$o" &
      objs+=("$o")
    done
    wait
    rm -f "$PREFIX/lib/libboost_$lib.a"
    $TRIPLE-ar rcs "$PREFIX/lib/libboost_$lib.a" "${objs[@]}"
  }
  compile_lib chrono -DBOOST_CHRONO_STATIC_LINK=1 -- libs/chrono/src/chrono.cpp \
    libs/chrono/src/thread_clock.cpp libs/chrono/src/process_cpu_clocks.cpp
  compile_lib atomic -DBOOST_ATOMIC_STATIC_LINK=1 -DBOOST_ATOMIC_SOURCE -I"$src/libs/atomic/src" -- \
    libs/atomic/src/lock_pool.cpp libs/atomic/src/wait_ops_windows.cpp
  # date_time is header-only for what the project uses; FindBoost still wants a library.
  compile_lib date_time -DBOOST_DATE_TIME_STATIC_LINK -- libs/date_time/src/gregorian/greg_month.cpp
  compile_lib thread -DBOOST_THREAD_BUILD_LIB=1 -DBOOST_THREAD_WIN32 -DBOOST_THREAD_USES_CHRONO -- \
    libs/thread/src/win32/thread.cpp libs/thread/src/win32/tss_dll.cpp libs/thread/src/win32/tss_pe.cpp \
    libs/thread/src/win32/thread_primitives.cpp libs/thread/src/future.cpp
}

build_qt() {
  local src
  src=$(fetch qt6-base)
  # Only Qt Core is built; the build tools come from the build machine (same version).
  cmake_build "$src" "$WORK/qt-build" -DBUILD_SHARED_LIBS=ON \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF \
    -DFEATURE_testlib=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_qmake=OFF -DFEATURE_androiddeployqt=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF
}

build_curl() {
  local src
  src=$(fetch curl)
  cmake_build "$src" "$WORK/curl-build" -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DCURL_DISABLE_FTP=ON -DCURL_DISABLE_TFTP=ON \
    -DCURL_DISABLE_TELNET=ON -DCURL_DISABLE_DICT=ON -DCURL_DISABLE_GOPHER=ON -DCURL_DISABLE_POP3=ON \
    -DCURL_DISABLE_IMAP=ON -DCURL_DISABLE_SMTP=ON -DCURL_DISABLE_RTSP=ON -DCURL_DISABLE_MQTT=ON \
    -DCURL_DISABLE_SMB=ON -DENABLE_MANUAL=OFF
}

# The tarball has no ./configure; autogen.sh would try to download, so autoreconf.
build_sodium() {
  local src
  src=$(fetch libsodium)
  (cd "$src" && autoreconf -if >"$WORK/sodium-autoreconf.log" 2>&1 &&
    ./configure --host=$TRIPLE --prefix="$PREFIX" --disable-shared --enable-static \
      CC=$TRIPLE-gcc-posix >"$WORK/sodium-configure.log" 2>&1 &&
    make -j"$JOBS" >"$WORK/sodium-make.log" 2>&1 && make install >/dev/null) ||
    { tail -n 40 "$WORK"/sodium-*.log >&2; return 1; }
}

START=$SECONDS
# Qt first: the largest part by far.
build qt "$(source_version qt6-base)" build_qt
build pugixml "$(source_version pugixml)" build_pugixml
build sqlite "$(source_version sqlite3)" build_sqlite
build googletest "$(dpkg-query -W -f='${Version}' googletest)" build_googletest
build boost "$(source_version boost1.74)" build_boost
build sodium "$(source_version libsodium)" build_sodium
build curl "$(source_version curl)" build_curl
log "prefix $PREFIX ready in $((SECONDS - START)) s"
