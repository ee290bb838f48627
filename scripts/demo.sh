#!/usr/bin/env bash
# Builds the library and clonesim, then rehearses an example session:
#   scripts/demo.sh                          # examples/import_mapped.json
#   scripts/demo.sh path/to/scenario.json [clonesim run options]
# Works from any directory; a relative scenario path is taken from the
# directory it was started in.
set -euo pipefail
scenario=examples/import_mapped.json
if [ $# -gt 0 ]; then
  scenario=$(realpath -- "$1")
  shift
fi
cd "$(dirname "$(realpath -- "$0")")/.."
bash scripts/setup.sh
if [ ! -x build/tools/clonesim/clonesim ]; then
  echo "demo: building the library and clonesim in $(pwd)/build (the first run takes a few minutes)..." >&2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target clonesim kxpdm_clone_userexit_v30; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
exec ./build/tools/clonesim/clonesim run "$scenario" "$@"
