#!/usr/bin/env bash
# The scanning tests: installs the stand-in TWAIN source where Wine's data source manager looks
# (windows\twain_32 or windows\twain_64, as sane.ds and as gphoto2.ds: two sources), runs the
# test program, then runs its no-manager case with the source gone and twain_32 disabled. The
# prefix's own files come back afterwards.
#   scan_twain.sh SOURCE.ds scan_twain.exe [gtest args...]
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
source_ds="$1"; program="$2"; shift 2
folder="$WINEPREFIX/drive_c/windows/twain_${TREL_WINARCH#win}"
mkdir -p "$folder"
saved="$(mktemp -d)"
for f in sane.ds gphoto2.ds; do [ -e "$folder/$f" ] && mv "$folder/$f" "$saved/$f"; done
restore() {
  rm -f "$folder/sane.ds" "$folder/gphoto2.ds"
  for f in sane.ds gphoto2.ds; do [ -e "$saved/$f" ] && mv "$saved/$f" "$folder/$f"; done
  rmdir "$saved" 2>/dev/null || true
}
trap restore EXIT
cp "$source_ds" "$folder/sane.ds"
cp "$source_ds" "$folder/gphoto2.ds"
run="$TREL_ROOT/scripts/wine-test.sh"
# gphoto2.ds is also a built-in module name: the file on disk must win.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;gphoto2.ds=n" "$run" "$program" --gtest_filter=-ScanWithoutManager.* "$@"
rc=$?
rm -f "$folder/sane.ds" "$folder/gphoto2.ds"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;twain_32=d" "$run" "$program" --gtest_filter=ScanWithoutManager.* || rc=1
exit $rc
