#!/usr/bin/env bash
# Builds the library and clonesim, then rehearses the example import session.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target clonesim kxpdm_clone_userexit_v30
scenario=${1:-examples/import_with_mapping.json}
./build/tools/clonesim/clonesim run "$scenario"
