#!/usr/bin/env bash
# Builds the library and clonesim, then rehearses the example import session.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target clonesim kxpdm_clone_userexit_v30; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
scenario=${1:-examples/import_mapped.json}
./build/tools/clonesim/clonesim run "$scenario"
