#!/usr/bin/env bash
# Builds the Windows DLL with mingw-w64 on this Debian machine (installing the
# cross-compiler when it is missing) and prints where it is.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh windows
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-win -j2 --target kxpdm_clone_userexit_v30
echo "built: build-win/bin/kxpdm_clone_userexit_v30.dll"
