#!/usr/bin/env bash
# Makes the pictures the camera stand-in delivers (once per build folder), then runs the command:
#   camera-data.sh OUTDIR -- COMMAND...
# thumb.jpg (160 x 120), photo.jpg (1600 x 1200) and big.jpg (4000 x 3000 with grain, about
# 12 MB) from a test picture, and raw.crw (3 MB of the big picture's bytes, standing for the
# camera's raw format).
set -euo pipefail
out="$1"; shift
[ "${1:-}" = "--" ] && shift
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/../data/pictures" && pwd)/photo_1600x1200.gif"
mkdir -p "$out"
if [ ! -s "$out/raw.crw" ]; then
  convert "$src" -resize 160x120 -quality 80 "$out/thumb.jpg"
  convert "$src" -quality 90 "$out/photo.jpg"
  convert "$src" -resize 4000x3000 -attenuate 0.6 +noise Gaussian -quality 95 "$out/big.jpg"
  head -c 3000000 "$out/big.jpg" > "$out/raw.crw.tmp" && mv "$out/raw.crw.tmp" "$out/raw.crw"
fi
exec "$@"
