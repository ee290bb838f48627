#!/usr/bin/env bash
# Builds and runs every test: once in a normal build and once under
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, a short fuzz
# run, then the Windows DLL and its tests under wine, and the release bundles
# (scripts/package.sh) packed and checked.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

echo "== normal build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== sanitizer build =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=ON

echo "== fuzz smoke run =="
# libFuzzer needs clang. Each target runs for a bounded time on a copy of its
# seed corpus, so the repository's corpus is never written; a crash or a
# broken invariant fails the script and leaves the input in build-fuzz/.
fuzz_targets=(split_text import_attr_map export_mapping derived_name trace_lines)
fuzz_seconds=${KX_FUZZ_SECONDS:-20}
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${fuzz_targets[@]/%/_fuzz}"
for name in "${fuzz_targets[@]}"; do
  corpus=build-fuzz/corpus/$name
  rm -rf "$corpus"
  mkdir -p build-fuzz/corpus build-fuzz/artifacts
  cp -r "tests/fuzz/corpus/$name" "$corpus"
  dict=()
  [ -f "tests/fuzz/$name.dict" ] && dict=(-dict="tests/fuzz/$name.dict")
  if ! "build-fuzz/tests/fuzz/${name}_fuzz" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/ "${dict[@]}" "$corpus" >"build-fuzz/$name.log" 2>&1; then
    tail -n 40 "build-fuzz/$name.log"
    echo "fuzz: $name failed; the input is in build-fuzz/artifacts/"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/$name.log")
  echo "fuzz: ${name}_fuzz ran ${runs:-?} inputs in ${fuzz_seconds} s without a crash"
done

echo "== Windows stage =="
# The DLL and its tests cross-built with mingw-w64 and run under wine, in a
# wine prefix of the build's own. Wine takes the ANSI code page from the
# locale: C.UTF-8 gives Windows-1252 (the tests' non-ASCII names are written
# in it and check it) with UTF-8 file names on the Linux side. mscoree and
# mshtml are switched off so that wine never offers to download them.
windows_start=$(date +%s)
bash scripts/setup.sh windows
export WINEPREFIX="$PWD/build-win/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/scripts/wine-run" >/dev/null
cmake --build build-win -j"$jobs"
mkdir -p "$WINEPREFIX"
# One wineserver for the whole run: without it every test starts its own
# (about 3 s each). A server an interrupted run left behind goes first.
wineserver -k 2>/dev/null || true
wineserver -p
wine wineboot -i >/dev/null 2>&1
windows_status=0
# Wine now and then fails to start a child process: CreateProcess fails, the
# DLL's site program "returned -1", and the part is refused, or keeps the
# host's number where the program would have given one, as it must. A check
# that fails is run once more, and every check that needed its second try is
# named at the end of the stage; a fault of ours fails both times.
second_tries=()
ctest --test-dir build-win --output-on-failure -j"$jobs" --repeat until-pass:2 | tee build-win/ctest.log ||
  windows_status=$?
# Those that failed a try but are not in ctest's closing list of failures
# (only a list after ctest's own summary line, and only its tab-indented
# lines: a test's own output may look like one).
while read -r name; do second_tries+=("$name"); done < <(
  comm -23 <(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' build-win/ctest.log | sort -u) \
           <(awk '/^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+$/ { summary = 1; n = split("", failed); next }
                  summary && /^The following tests FAILED:$/ { listing = 1; next }
                  listing && /^\t/ { failed[++n] = $3; next } { listing = 0 }
                  END { for (i = 1; i <= n; i++) print failed[i] }' build-win/ctest.log | sort -u))
# Sessions recorded by the DLL under the stand-in host replay on Linux with
# the same outcome.
traces="$PWD/build-win/traces"
rm -rf "$traces" && mkdir -p "$traces"
KXPDM_TRACE_DIR="$(winepath -w "$traces")" scripts/wine-run build-win/bin/stand_in_host.exe >/dev/null ||
  windows_status=1
recorded=0
for trace in "$traces"/*.jsonl; do
  [ -e "$trace" ] || continue
  recorded=$((recorded + 1))
  build/tools/clonesim/clonesim replay "$trace" >"$trace.replay.txt" ||
    { windows_status=1; echo "windows: $trace does not replay on Linux as recorded:"; cat "$trace.replay.txt"; }
  # And on Windows, by clonesim.exe against the same DLL: no difference,
  # with "\" and "/" as they were recorded.
  # (Played once more when it differs, for wine's failed starts as above;
  # the first try's report is kept beside the second's.)
  if ! tests/windows/clonesim_exe.sh replay "$(winepath -w "$trace")" >"$trace.replay-windows.txt"; then
    mv "$trace.replay-windows.txt" "$trace.replay-windows.1.txt"
    if tests/windows/clonesim_exe.sh replay "$(winepath -w "$trace")" >"$trace.replay-windows.txt"; then
      second_tries+=("replay of $(basename "$trace") by clonesim.exe (the first try's report: $trace.replay-windows.1.txt)")
    else
      windows_status=1
      echo "windows: $trace does not replay under clonesim.exe as recorded:"
      cat "$trace.replay-windows.txt"
    fi
  fi
done
echo "windows: $recorded sessions recorded under wine replayed on Linux and by clonesim.exe"
[ "$recorded" -ge 2 ] || windows_status=1
# clonesim.exe's HTML pages in chromium, checked as the Linux build's are
# (with the browser modules the normal build's tests installed).
rm -rf build-win/browser-pages && mkdir -p build-win/browser-pages build-win/artifacts
KX_BROWSER_MODULES="$PWD/build/browser-tests" KX_CHROMIUM="$(command -v chromium)" KX_PAGES_WITHOUT_SHELL=1 \
  node tests/browser/report_pages_test.cjs "$PWD/tests/windows/clonesim_exe.sh" "$PWD" \
  "$PWD/build-win/browser-pages" "$PWD/build-win/artifacts" >build-win/browser-pages.log 2>&1 ||
  { windows_status=1; echo "windows: the HTML pages of clonesim.exe:"; tail -n 40 build-win/browser-pages.log; }
tail -n 1 build-win/browser-pages.log
# The release bundles, packed twice: the same files both times, each holding
# what it should with its sums and the build's version, and each rehearsing
# an example from a fresh folder by its README's own commands (the Windows
# one under wine).
rm -rf build-win/dist-again
if bash scripts/package.sh --allow-dirty >build-win/package.log 2>&1 &&
    KX_DIST_DIR="$PWD/build-win/dist-again" bash scripts/package.sh --allow-dirty >>build-win/package.log 2>&1; then
  python3 tests/package/check_bundles.py --source . --dist dist --again build-win/dist-again ||
    windows_status=1
else
  windows_status=1
  echo "windows: scripts/package.sh failed:"
  tail -n 40 build-win/package.log
fi
wineserver -k || true
echo "windows: stage took $(( $(date +%s) - windows_start )) s"
if [ "${#second_tries[@]}" -gt 0 ]; then
  echo "windows: failed once, then passed on a second try (wine's failed starts, or a fault that comes and goes):"
  printf '  %s\n' "${second_tries[@]}"
fi
exit "$windows_status"
