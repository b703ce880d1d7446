#!/usr/bin/env bash
# wine-unmanaged.sh [--desktop WxH] PROGRAM.exe|--cscript SCRIPT [args...]: runs a Wine test whose windows
# Wine manages itself (X11 "Managed" = N for that program: with no window manager on the test
# display, every hide would otherwise wait for one for about 2 s), optionally inside a virtual
# desktop of the given size of its own (for dialogs whose size follows the screen's).
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
size=""
if [ "${1:-}" = "--desktop" ]; then size="$2"; shift 2; fi
if [ "$1" = "--cscript" ]; then app=cscript.exe; else app="$(basename "$1")"; fi
key="HKCU\\Software\\Wine\\AppDefaults\\$app"
"$TREL_WINE" reg add "$key\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
if [ -n "$size" ]; then
  "$TREL_WINE" reg add "HKCU\\Software\\Wine\\Explorer\\Desktops" /v "trel$size" /d "$size" /f >/dev/null 2>&1
  "$TREL_WINE" reg add "$key\\Explorer" /v Desktop /d "trel$size" /f >/dev/null 2>&1
fi
"$TREL_ROOT/scripts/wine-test.sh" "$@"
rc=$?
"$TREL_WINE" reg delete "$key" /f >/dev/null 2>&1
exit $rc
