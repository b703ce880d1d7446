# Sourced by scripts/bench.sh: JPEG decode and encode of the 12-megapixel photo, codec only.
compare "JPEG decode 4000x3000 (no output file)" \
  "$TRELIMG bench-decode $BENCH/photo.jpg" \
  "djpeg -bmp $BENCH/photo.jpg > /dev/null"
compare "JPEG encode 4000x3000 q75, cjpeg from PPM" \
  "$TRELIMG bench-encode $BENCH/photo.ppm $BENCH/bench-encode.jpg" \
  "cjpeg -quality 75 -baseline $BENCH/photo.ppm > $BENCH/bench-encode-peer.jpg"
# cjpeg streams PPM rows; from a BMP it holds the whole picture as we must, first-touch page
# faults included, which is the like-for-like measure of the codec layer.
[ -f "$BENCH/photo.bmp" ] || convert "$BENCH/photo.ppm" -depth 8 -type TrueColor "BMP3:$BENCH/photo.bmp"
compare "JPEG encode 4000x3000 q75, cjpeg from BMP" \
  "$TRELIMG bench-encode $BENCH/photo.ppm $BENCH/bench-encode.jpg" \
  "cjpeg -quality 75 -baseline $BENCH/photo.bmp > $BENCH/bench-encode-peer.jpg"
