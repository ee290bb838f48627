#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine; does nothing when
# everything is there already. `scripts/setup.sh windows` also installs the
# Windows cross-build (mingw-w64, GoogleTest's sources) and wine to test it.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-dev binutils perl python3
          libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev libsqlite3-dev rapidjson-dev
          chromium nodejs)
# The browser tests drive chromium from node; some node builds bring their
# own npm, and Debian's npm package would clash with them.
command -v npm >/dev/null 2>&1 || packages+=(npm)
apt_options=()
if [ "${1:-}" = windows ]; then
  packages=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64)
  # Wine's recommendations (fonts, desktop integration) are not needed to
  # run console programs.
  apt_options=(--no-install-recommends)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${apt_options[@]}" "${missing[@]}" >/dev/null
fi

# SQLite for the Windows build of clonesim, from the amalgamation source a
# package of the npm registry ships; one version, its tarball and the two
# files taken from it checked against the pinned SHA-256s and refused on a
# mismatch. The files are checked on every run, so that a cached copy
# changed since it was taken is removed and taken again.
if [ "${1:-}" = windows ]; then
  sqlite_package=better-sqlite3@12.4.1
  sqlite_sha256=14398acbf00d1e8fe0a2753df7d4f15c13138e4b874f4e6e96791f65b4536d0d
  sqlite_c_sha256=90b7189566ea710ee18361b25d893f5cda3fcf43033223a16384762f53e99a85
  sqlite_h_sha256=abd1514e0351f79393d1be882830afdb40a8099e8257f311f0bfdf8486f11bea
  sqlite_dir="$(cd "$(dirname "$0")/.." && pwd)/build-deps/sqlite"
  sqlite_files_pinned() {
    [ "$(sha256sum "$sqlite_dir/sqlite3.c" 2>/dev/null | cut -d' ' -f1)" = "$sqlite_c_sha256" ] &&
      [ "$(sha256sum "$sqlite_dir/sqlite3.h" 2>/dev/null | cut -d' ' -f1)" = "$sqlite_h_sha256" ]
  }
  if [ "$(cat "$sqlite_dir/.source" 2>/dev/null)" = "$sqlite_package $sqlite_sha256" ] && ! sqlite_files_pinned; then
    echo "setup: the cached SQLite in $sqlite_dir does not have the pinned SHA-256s; removed" >&2
    rm -rf "$sqlite_dir"
  fi
  if [ "$(cat "$sqlite_dir/.source" 2>/dev/null)" != "$sqlite_package $sqlite_sha256" ]; then
    command -v npm >/dev/null 2>&1 || bash "$0"
    download=$(mktemp -d)
    trap 'rm -rf "$download"' EXIT
    (cd "$download" && npm pack --silent "$sqlite_package" >/dev/null)
    tarball=$(ls "$download"/*.tgz)
    if [ "$(sha256sum "$tarball" | cut -d' ' -f1)" != "$sqlite_sha256" ]; then
      echo "setup: $sqlite_package does not have the pinned SHA-256 $sqlite_sha256; refused" >&2
      exit 1
    fi
    rm -rf "$sqlite_dir" && mkdir -p "$sqlite_dir"
    tar -xzf "$tarball" -C "$sqlite_dir" --strip-components=3 package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
    if ! sqlite_files_pinned; then
      rm -rf "$sqlite_dir"
      echo "setup: sqlite3.c or sqlite3.h of $sqlite_package does not have its pinned SHA-256; refused" >&2
      exit 1
    fi
    echo "$sqlite_package $sqlite_sha256" >"$sqlite_dir/.source"
    echo "setup: SQLite $(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$sqlite_dir/sqlite3.h") from $sqlite_package"
  fi
fi
