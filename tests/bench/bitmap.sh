# Sourced by scripts/bench.sh: 24-bit BMP read, and read plus write, of the 12-megapixel photo.
[ -f "$BENCH/photo.bmp" ] || convert "$BENCH/photo.ppm" BMP3:"$BENCH/photo.bmp"
compare "BMP read 4000x3000 24-bit (no output)" \
  "$TRELIMG info $BENCH/photo.bmp" \
  "convert $BENCH/photo.bmp null:"
compare "BMP read+write 4000x3000 24-bit" \
  "$TRELIMG convert $BENCH/photo.bmp $BENCH/bmp-out.bmp" \
  "convert $BENCH/photo.bmp BMP3:$BENCH/bmp-out-im.bmp"
