#!/usr/bin/env bash
# wine-nt4.sh PROGRAM.exe|--cscript SCRIPT: runs a Wine test with the Windows version of NT 4 for
# that program, so that serial port discovery lists the fixed port names (Wine has no device
# interfaces for the ptys linked as COM ports).
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if [ "$1" = "--cscript" ]; then app=cscript.exe; else app="$(basename "$1")"; fi
"$TREL_WINE" reg add "HKCU\\Software\\Wine\\AppDefaults\\$app" /v Version /d nt40 /f >/dev/null 2>&1
"$TREL_ROOT/scripts/wine-test.sh" "$@"
rc=$?
"$TREL_WINE" reg delete "HKCU\\Software\\Wine\\AppDefaults\\$app" /f >/dev/null 2>&1
exit $rc
