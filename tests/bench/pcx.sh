# Sourced by scripts/bench.sh: PCX (24-bit, 8 × 3 planes, run-length) against ImageMagick, both
# going through PPM on the other side.
[ -f "$BENCH/photo-d8.ppm" ] || pnmdepth 255 "$BENCH/photo.ppm" > "$BENCH/photo-d8.ppm"
[ -f "$BENCH/photo.pcx" ] || convert "$BENCH/photo-d8.ppm" "$BENCH/photo.pcx"
compare "PCX read 4000x3000 24-bit (to PPM)" \
  "$TRELIMG convert $BENCH/photo.pcx $BENCH/pcx-out.ppm" \
  "convert $BENCH/photo.pcx $BENCH/pcx-out-im.ppm"
compare "PCX write 4000x3000 24-bit (from PPM)" \
  "$TRELIMG convert $BENCH/photo-d8.ppm $BENCH/pcx-out.pcx" \
  "convert $BENCH/photo-d8.ppm $BENCH/pcx-out-im.pcx"
rm -f "$BENCH"/pcx-out*
