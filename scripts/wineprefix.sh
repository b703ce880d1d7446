#!/usr/bin/env bash
# Creates (once) the Wine prefix all Wine tests share: Russian locale, no crash dialog.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
[ -f "$WINEPREFIX/.trel-ready" ] && exit 0
mkdir -p "$(dirname "$WINEPREFIX")"
"$TREL_WINE" wineboot -i >/dev/null 2>&1
"$TREL_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
"$TREL_WINESERVER" -w
touch "$WINEPREFIX/.trel-ready"
echo "wine prefix ready: $WINEPREFIX ($TREL_WINARCH)"
