# Sourced by scripts/bench.sh: GEM raster against netpbm's pbmtogem / gemtopnm, which handle
# black and white; the photo thresholded to 1 bit and cut to 1000 pixels wide (pbmtogem writes
# broken files from 1024 pixels on).
[ -f "$BENCH/photo.pbm" ] || ppmtopgm "$BENCH/photo.ppm" | pgmtopbm -threshold > "$BENCH/photo.pbm"
[ -f "$BENCH/photo-mono.img" ] || pamcut -width 1000 "$BENCH/photo.pbm" | pbmtogem > "$BENCH/photo-mono.img"
compare "GEM decode 1000x3000 1 plane" \
  "$TRELIMG bench-decode $BENCH/photo-mono.img" \
  "gemtopnm $BENCH/photo-mono.img > /dev/null"
compare "GEM decode+encode 1000x3000 1 plane" \
  "$TRELIMG convert $BENCH/photo-mono.img $BENCH/gem-out.img" \
  "gemtopnm $BENCH/photo-mono.img | pbmtogem > $BENCH/gem-out-nb.img"
