# Sourced by scripts/bench.sh: X bitmaps against netpbm's xbmtopbm / pbmtoxbm on the photo
# thresholded to 1 bit.
[ -f "$BENCH/photo.pbm" ] || ppmtopgm "$BENCH/photo.ppm" | pgmtopbm -threshold > "$BENCH/photo.pbm"
[ -f "$BENCH/photo.xbm" ] || pbmtoxbm "$BENCH/photo.pbm" > "$BENCH/photo.xbm"
compare "XBM decode 4000x3000" \
  "$TRELIMG bench-decode $BENCH/photo.xbm" \
  "xbmtopbm $BENCH/photo.xbm > /dev/null"
compare "XBM decode+encode 4000x3000" \
  "$TRELIMG convert $BENCH/photo.xbm $BENCH/xbm-out.xbm" \
  "xbmtopbm $BENCH/photo.xbm | pbmtoxbm > $BENCH/xbm-out-nb.xbm"
