# Sourced by scripts/bench.sh: Targa (24-bit, uncompressed as both write it) against ImageMagick,
# both going through PPM on the other side.
[ -f "$BENCH/photo-d8.ppm" ] || pnmdepth 255 "$BENCH/photo.ppm" > "$BENCH/photo-d8.ppm"
[ -f "$BENCH/photo.tga" ] || convert "$BENCH/photo-d8.ppm" "$BENCH/photo.tga"
compare "Targa read 4000x3000 24-bit (to PPM)" \
  "$TRELIMG convert $BENCH/photo.tga $BENCH/tga-out.ppm" \
  "convert $BENCH/photo.tga $BENCH/tga-out-im.ppm"
compare "Targa write 4000x3000 24-bit (from PPM)" \
  "$TRELIMG convert $BENCH/photo-d8.ppm $BENCH/tga-out.tga" \
  "convert $BENCH/photo-d8.ppm $BENCH/tga-out-im.tga"
rm -f "$BENCH"/tga-out*
