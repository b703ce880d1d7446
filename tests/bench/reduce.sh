# Sourced by scripts/bench.sh: colour reduction of the 12-megapixel photo.
compare "reduce 4000x3000 to 256 colours (BMP out)" \
  "$TRELIMG reduce $BENCH/photo.jpg $BENCH/reduced.bmp 256" \
  "convert $BENCH/photo.jpg -dither None -colors 256 $BENCH/reduced-im.bmp"
