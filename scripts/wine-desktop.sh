#!/usr/bin/env bash
# wine-desktop.sh WxH PROGRAM.exe [args...]: runs a Wine test program inside a virtual desktop of
# that size of its own (for dialogs whose size follows the screen's).
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
size="$1"; shift
app="$(basename "$1")"
desktop="trel$size"
"$TREL_WINE" reg add "HKCU\\Software\\Wine\\Explorer\\Desktops" /v "$desktop" /d "$size" /f >/dev/null 2>&1
"$TREL_WINE" reg add "HKCU\\Software\\Wine\\AppDefaults\\$app\\Explorer" /v Desktop /d "$desktop" /f >/dev/null 2>&1
"$TREL_ROOT/scripts/wine-test.sh" "$@"
rc=$?
"$TREL_WINE" reg delete "HKCU\\Software\\Wine\\AppDefaults\\$app\\Explorer" /f >/dev/null 2>&1
exit $rc
