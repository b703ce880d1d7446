#!/usr/bin/env bash
# Runs one Windows test under Wine in the shared prefix:
#   wine-test.sh PROGRAM.exe [args...]      a test executable; its exit code is the result
#   wine-test.sh --cscript SCRIPT.vbs|.js   a script client run by cscript (see tests/scripts/README.md)
# The working directory is inside drive_c so that files the component writes on the current drive
# land in the prefix.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
WORK="$WINEPREFIX/drive_c/trel-tests"
mkdir -p "$WORK"
cd "$WORK"
# Never let Wine's background services inherit our output (see wine-fixture.sh).
pgrep -f "services.exe" -u "$(id -u)" >/dev/null 2>&1 || "$TREL_WINE" wineboot >/dev/null 2>&1 </dev/null || true
# Windows need a display: every Wine test gets the one Xvfb the fixture started.
if [ -z "${DISPLAY:-}" ] || [ -n "${CI:-}" ]; then
  export DISPLAY="$("$TREL_ROOT/scripts/xvfb.sh" start)"
fi

if [ "${1:-}" != "--cscript" ]; then
  exe="$1"; shift
  [ -f "$exe" ] || { echo "FAIL: no test program $exe"; exit 1; }
  timeout --kill-after=10 "${TREL_TEST_TIMEOUT:-240}" "$TREL_WINE" "$exe" "$@"
  exit $?
fi

script="$2"
name="$(basename "$script")"
ext="${name##*.}"
out="$WORK/$name.out"
run="$WORK/$name"
rm -f "$out"
# cscript reads scripts in the ANSI code page only: prepend the shared prelude, convert to 1251.
cat "$TREL_ROOT/tests/scripts/lib/prelude.$ext" "$script" | iconv -f UTF-8 -t CP1251 > "$run" || exit 1
timeout --kill-after=10 "${TREL_TEST_TIMEOUT:-240}" "$TREL_WINE" cscript //nologo "$(winpath "$run")" \
  "$(winpath "$out")" "$(winpath "$TREL_ROOT/tests/data")" "$(winpath "${TREL_DLL:-$TREL_WINBUILD/TrelClientHelper.dll}")"
rc=$?
if [ ! -f "$out" ]; then
  echo "FAIL: $name wrote no results (cscript exit $rc)"; exit 1
fi
iconv -f CP1251 -t UTF-8 "$out" | tr -d '\r'
if ! tail -n 1 "$out" | tr -d '\r' | grep -qx "DONE"; then
  echo "FAIL: $name did not reach its end"; exit 1
fi
if grep -q '^FAIL' "$out"; then exit 1; fi
exit 0
