#!/usr/bin/env bash
# setup DLL [DLL...]: makes sure the shared prefix exists, keeps one wineserver running for all tests and
# registers the DLL. cleanup: stops that wineserver.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
case "${1:-}" in
  setup)
    "$TREL_ROOT/scripts/wineprefix.sh" >/dev/null
    export DISPLAY="$("$TREL_ROOT/scripts/xvfb.sh" start)"
    "$TREL_WINESERVER" -p >/dev/null 2>&1 </dev/null || true
    # Without a window manager on the display, Wine must place windows itself for a maximised
    # dialog to fill the screen (and for hidden windows not to wait for a manager's answer).
    "$TREL_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null || true
    # Start Wine's own services now, detached from our output: CTest waits for every holder of a
    # test's stdout, and services started by the first program of a test would keep it open.
    "$TREL_WINE" wineboot >/dev/null 2>&1 </dev/null || true
    shift
    for module in "$@"; do
      dll="$(winpath "$module")"
      if ! "$TREL_WINE" regsvr32 /s "$dll"; then
        echo "regsvr32 $dll failed" >&2; exit 1
      fi
      echo "registered $dll in $WINEPREFIX ($TREL_WINARCH)"
    done;;
  cleanup)
    "$TREL_WINESERVER" -k >/dev/null 2>&1 || true
    "$TREL_ROOT/scripts/xvfb.sh" stop;;
  *) echo "usage: $0 setup DLL [DLL...] | cleanup" >&2; exit 2;;
esac
