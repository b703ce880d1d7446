#!/usr/bin/env bash
# The scanning tests: installs the stand-in TWAIN source where Wine's data source manager looks
# (windows\twain_32 or windows\twain_64, as sane.ds and as gphoto2.ds: two sources), runs the
# test program, then runs its no-manager case with the source gone and twain_32 disabled. The
# prefix's own files come back afterwards.
# With a host program and a script it then runs the script client against the same source.
#   scan_twain.sh SOURCE.ds scan_twain.exe [scan_host.exe SCRIPT.vbs]
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
source_ds="$1"; program="$2"; host="${3:-}"; script="${4:-}"
folder="$WINEPREFIX/drive_c/windows/twain_${TREL_WINARCH#win}"
mkdir -p "$folder"
saved="$(mktemp -d)"
for f in sane.ds gphoto2.ds; do [ -e "$folder/$f" ] && mv "$folder/$f" "$saved/$f"; done
# Without a window manager every hidden window costs Wine a 2-second wait unless Wine manages
# the windows itself; the setting is the test's own and goes away with it.
x11key='HKCU\Software\Wine\X11 Driver'
managed_before=0
"$TREL_WINE" reg query "$x11key" /v Managed >/dev/null 2>&1 && managed_before=1
[ "$managed_before" = 1 ] || "$TREL_WINE" reg add "$x11key" /v Managed /d N /f >/dev/null 2>&1
restore() {
  rm -f "$folder/sane.ds" "$folder/gphoto2.ds"
  for f in sane.ds gphoto2.ds; do [ -e "$saved/$f" ] && mv "$saved/$f" "$folder/$f"; done
  rmdir "$saved" 2>/dev/null || true
  [ "$managed_before" = 1 ] || "$TREL_WINE" reg delete "$x11key" /v Managed /f >/dev/null 2>&1
}
trap restore EXIT
cp "$source_ds" "$folder/sane.ds"
cp "$source_ds" "$folder/gphoto2.ds"
run="$TREL_ROOT/scripts/wine-test.sh"
# gphoto2.ds is also a built-in module name: the file on disk must win.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;gphoto2.ds=n"
"$run" "$program" --gtest_filter=-ScanWithoutManager.*
rc=$?
if [ -n "$script" ]; then
  work="$WINEPREFIX/drive_c/trel-tests"
  rm -f "$work/scan_host.txt" "$work/scan_host.done"
  printf 'record=C:\\trel-tests\\scan_script_record.txt\nimage=200x300x24\n' > "$work/scan_script.cfg"
  (cd "$work" && DISPLAY="${DISPLAY:-$("$TREL_ROOT/scripts/xvfb.sh" start)}" timeout 120 "$TREL_WINE" "$host" \
     'C:\trel-tests\scan_host.txt' 'C:\trel-tests\scan_host.done' \
     "select:Trel Test Scanner 2" "source:Scan" "select:") &
  host_pid=$!
  for _ in $(seq 200); do [ -s "$work/scan_host.txt" ] && break; sleep 0.1; done
  TREL_TWAIN_SOURCE='C:\trel-tests\scan_script.cfg' "$run" --cscript "$script" || rc=1
  touch "$work/scan_host.done"
  wait "$host_pid" || { echo "FAIL: the script's window host"; rc=1; }
fi
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES%;gphoto2.ds=n}"
rm -f "$folder/sane.ds" "$folder/gphoto2.ds"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;twain_32=d" "$run" "$program" --gtest_filter=ScanWithoutManager.* || rc=1
exit $rc
