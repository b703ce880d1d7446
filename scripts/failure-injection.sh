#!/usr/bin/env bash
# Runs tests/wine/failure_injection.cpp with a small full drive: a 6 MB filesystem holding a
# 1600 x 1200 bitmap, mapped as drive S: of the prefix. Where no filesystem can be mounted (no
# root, no mount permission) the disk-full case says so and the others still run.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
exe="$1"
data="$TREL_BUILD/failure-injection-data"
mkdir -p "$data"
[ -f "$data/photo.bmp" ] || convert -size 1600x1200 -seed 5 plasma:fractal -type truecolor "BMP3:$data/photo.bmp"
export TREL_PICTURE_DIR="$(winpath "$data")"
small="$TREL_BUILD/smallfs"
mkdir -p "$small"
mounted=0
if mount -t tmpfs -o size=6m tmpfs "$small" 2>/dev/null; then
  mounted=1
  cp "$data/photo.bmp" "$small/photo.bmp"
  ln -sfn "$small" "$WINEPREFIX/dosdevices/s:"
  export TREL_FULL_DRIVE="S:"
else
  echo "note: cannot mount a small filesystem here; the disk-full case is skipped"
fi
"$TREL_ROOT/scripts/wine-test.sh" "$exe"
rc=$?
if [ $mounted = 1 ]; then
  rm -f "$WINEPREFIX/dosdevices/s:"
  umount "$small"
fi
exit $rc
