#!/usr/bin/env bash
# make bench: our codecs against the peer tools on the same files, measured in the same run.
# Each comparison runs both commands alternately RUNS times and prints the medians and the ratio
# ours / peer (below 1.0: we are faster).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build}"
TRELIMG="$BUILD/native/trelimg"
BENCH="$BUILD/bench"
RUNS="${RUNS:-7}"
mkdir -p "$BENCH"
CORES=$(nproc)
export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1

# The 12-megapixel test photo: a fractal plasma with noise, made once.
PHOTO="$BENCH/photo.ppm"
if [ ! -f "$PHOTO" ]; then
  convert -size 4000x3000 -seed 7 plasma:fractal -blur 0x1 -attenuate 0.3 +noise Gaussian "$PHOTO"
  cjpeg -quality 90 "$PHOTO" > "$BENCH/photo.jpg"
fi

median_ms() {  # command... -> median wall time in ms over RUNS runs
  local times=() i t0 t1
  for ((i = 0; i < RUNS; i++)); do
    t0=$(date +%s%N); "$@" >/dev/null 2>&1; t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (RUNS + 1) / 2 ))p"
}

compare() {  # label, ours (a string), peer (a string)
  local label="$1" ours="$2" peer="$3" a b
  a=$(median_ms bash -c "$ours"); b=$(median_ms bash -c "$peer")
  printf '%-44s ours %6d ms   peer %6d ms   ratio %s\n' "$label" "$a" "$b" \
    "$(awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
}

echo "== bench on $CORES cores, $RUNS runs each, medians"
for f in "$ROOT"/tests/bench/*.sh; do
  [ -f "$f" ] && . "$f"
done
