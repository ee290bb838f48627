#!/usr/bin/env bash
# Builds the two bundles an administrator installs, into dist/:
#   kxpdm-clone-<version>-windows.zip    the DLL, clonesim.exe and the programs
#                                        it runs beside it
#   kxpdm-clone-<version>-linux.tar.gz   the shared library, clonesim and its
#                                        programs
# each with the docs, the examples, a first-page README and SHA256SUMS, in
# one folder named as the bundle. The version is the build's (project() in
# CMakeLists.txt). Only the library and clonesim are built, in build/ and
# build-win/, configured as scripts/test.sh configures them when they are
# not yet. The docs and examples are the files git knows, so that a
# scratch file left in examples/ never ships; the archives hold no times
# but the last commit's and no owners, so two runs give the same files.
#
#   package.sh [--allow-dirty]
#
# A bundle names the commit it was built from (VERSION.txt and the README's
# first line); a tree with uncommitted changes is refused, since its bundle
# would name a commit it does not hold, unless --allow-dirty is given (the
# tests pack a developer's edits), and then the commit is marked "+dirty".
set -euo pipefail
cd "$(dirname "$0")/.."
allow_dirty=no
for argument in "$@"; do
  case $argument in
    --allow-dirty) allow_dirty=yes ;;
    *) echo "usage: package.sh [--allow-dirty]" >&2; exit 2 ;;
  esac
done
commit=$(git rev-parse --verify HEAD 2>/dev/null) || { echo "package: not in a git checkout with a commit" >&2; exit 1; }
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  if [ "$allow_dirty" = no ]; then
    echo "package: the tree has uncommitted changes; commit them or give --allow-dirty" >&2
    exit 1
  fi
  commit=$commit+dirty
fi
source_dir=$PWD
out=${KX_DIST_DIR:-$source_dir/dist}
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/setup.sh
bash scripts/setup.sh windows
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$source_dir}
fi
[ -f build/CMakeCache.txt ] ||
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j"$jobs" --target kxpdm_clone_userexit_v30 clonesim
[ -f build-win/CMakeCache.txt ] ||
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${launcher[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/scripts/wine-run" >/dev/null
# clonesim.exe brings its stand-in programs along.
cmake --build build-win -j"$jobs" --target kxpdm_clone_userexit_v30 clonesim

cached_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$1/CMakeCache.txt"
}
# A bundle is what the desks run: never a debugging or sanitizer build.
for build in build build-win; do
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
  if [ "$type" != RelWithDebInfo ]; then
    echo "package: $build is configured as '$type', not RelWithDebInfo" >&2
    exit 1
  fi
done
version=$(cached_version build)
if [ -z "$version" ] || [ "$version" != "$(cached_version build-win)" ]; then
  echo "package: the Linux build is version '$version', the Windows build '$(cached_version build-win)'" >&2
  exit 1
fi

# The last commit's time stands for every time in the bundles: the archives'
# and the one strip writes into a Windows program's header.
epoch=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
export SOURCE_DATE_EPOCH=$epoch

stage=$out/stage
# Bundles of an earlier version would be taken for this one's.
rm -rf "$stage" "$out"/kxpdm-clone-*.zip "$out"/kxpdm-clone-*.tar.gz
mkdir -p "$stage"

# stage KIND STRIP PROGRAM... [-- SCRIPT...]: the bundle's folder with the
# programs (stripped of their debugging information) and the scripts at its
# top, the docs, the examples, the README and the sums of them all.
stage() {
  local kind=$1 strip=$2; shift 2
  local dir=$stage/kxpdm-clone-$version-$kind
  mkdir -p "$dir"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    cp "$1" "$dir/"
    "$strip" --strip-debug "$dir/$(basename "$1")"
    shift
  done
  if [ $# -gt 0 ]; then shift; fi
  if [ $# -gt 0 ]; then cp "$@" "$dir/"; fi
  git ls-files -z docs examples | while IFS= read -r -d '' file; do
    mkdir -p "$dir/$(dirname "$file")"
    cp "$file" "$dir/$file"
  done
  sed -e "s/@VERSION@/$version/g" -e "s/@COMMIT@/$commit/g" "packaging/README-$kind.txt" >"$dir/README.txt"
  printf 'kxpdm clone user exit %s\ncommit %s\n' "$version" "$commit" >"$dir/VERSION.txt"
  (cd "$dir" && find . -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 sha256sum >"$stage/sums" &&
     mv "$stage/sums" SHA256SUMS)
}

stage windows x86_64-w64-mingw32-strip \
  build-win/bin/kxpdm_clone_userexit_v30.dll build-win/bin/clonesim.exe \
  build-win/bin/site-program.exe build-win/bin/clonesim-answer.exe build-win/bin/clonesim-forward.exe
stage linux strip \
  build/clone_exits/libkxpdm_clone_userexit_v30.so build/tools/clonesim/clonesim \
  build/tools/clonesim/libhost_sim.so \
  -- build/tools/clonesim/del build/tools/clonesim/site-program

python3 scripts/archive.py "$stage/kxpdm-clone-$version-windows" "$out/kxpdm-clone-$version-windows.zip" "$epoch"
python3 scripts/archive.py "$stage/kxpdm-clone-$version-linux" "$out/kxpdm-clone-$version-linux.tar.gz" "$epoch"
rm -rf "$stage"
for bundle in "$out/kxpdm-clone-$version-windows.zip" "$out/kxpdm-clone-$version-linux.tar.gz"; do
  echo "package: $bundle ($(stat -c %s "$bundle") bytes)"
done
