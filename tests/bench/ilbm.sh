# Sourced by scripts/bench.sh: ILBM against netpbm's ilbmtoppm / ppmtoilbm on the 12-megapixel
# photo, 24 planes (ByteRun1) both ways, and HAM6 encoding.
[ -f "$BENCH/photo.iff" ] || ppmtoilbm -24force "$BENCH/photo.ppm" > "$BENCH/photo.iff" 2>/dev/null
compare "ILBM decode 4000x3000 24 planes" \
  "$TRELIMG bench-decode $BENCH/photo.iff" \
  "ilbmtoppm $BENCH/photo.iff > /dev/null"
compare "ILBM encode 4000x3000 24 planes (from PPM)" \
  "$TRELIMG bench-encode $BENCH/photo.ppm $BENCH/ilbm-out.iff" \
  "ppmtoilbm -24force $BENCH/photo.ppm > $BENCH/ilbm-out-nb.iff"
compare "ILBM encode 4000x3000 HAM6 (from PPM)" \
  "$TRELIMG bench-encode $BENCH/photo.ppm $BENCH/ilbm-ham.iff ham6" \
  "ppmtoilbm -ham6 $BENCH/photo.ppm > $BENCH/ilbm-ham-nb.iff"
