# Sourced by scripts/bench.sh: PPM against netpbm, on an 8-bit copy of the photo (its PPM is
# 16-bit, which we do not read). pamtopnm reads every row through libnetpbm and writes it out
# again, the same work as our copy; to /dev/null it stands for a read alone.
[ -f "$BENCH/photo-d8.ppm" ] || pnmdepth 255 "$BENCH/photo.ppm" > "$BENCH/photo-d8.ppm"
compare "PPM read 4000x3000" \
  "$TRELIMG info $BENCH/photo-d8.ppm" \
  "pamtopnm $BENCH/photo-d8.ppm > /dev/null"
compare "PPM copy 4000x3000 (read and write)" \
  "$TRELIMG convert $BENCH/photo-d8.ppm $BENCH/ppm-out.ppm" \
  "pamtopnm $BENCH/photo-d8.ppm > $BENCH/ppm-out-nb.ppm"
rm -f "$BENCH"/ppm-out*
