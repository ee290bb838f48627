#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine; does nothing when
# everything is there already. `scripts/setup.sh windows` also installs the
# Windows cross-build (mingw-w64, GoogleTest's sources) and wine to test it.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-dev binutils perl python3
          libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev libsqlite3-dev
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
