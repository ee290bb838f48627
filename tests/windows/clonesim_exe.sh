#!/usr/bin/env bash
# Runs clonesim.exe under wine against the Windows DLL, for the tests that
# start clonesim by one program name (the browser tests of the HTML report).
# Linux paths reach it as they are: wine takes /work/x as Z:\work\x.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
bin=${KX_WINDOWS_BIN:-$here/build-win/bin}
case "${1:-}" in
  run|sweep|replay) exec "$here/scripts/wine-run" "$bin/clonesim.exe" "$@" --library "$bin/kxpdm_clone_userexit_v30.dll" ;;
  *) exec "$here/scripts/wine-run" "$bin/clonesim.exe" "$@" ;;
esac
