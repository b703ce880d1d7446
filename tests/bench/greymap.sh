# Sourced by scripts/bench.sh: PGM against netpbm, from an 8-bit copy of the photo (its PPM is
# 16-bit, which we do not read). pamtopnm reads every row through libnetpbm and writes it out
# again, the same work as our copy; to /dev/null it stands for a read alone.
[ -f "$BENCH/photo-d8.ppm" ] || pnmdepth 255 "$BENCH/photo.ppm" > "$BENCH/photo-d8.ppm"
[ -f "$BENCH/photo.pgm" ] || ppmtopgm "$BENCH/photo-d8.ppm" > "$BENCH/photo.pgm"
compare "PGM read 4000x3000" \
  "$TRELIMG info $BENCH/photo.pgm" \
  "pamtopnm $BENCH/photo.pgm > /dev/null"
compare "PGM copy 4000x3000 (read and write)" \
  "$TRELIMG convert $BENCH/photo.pgm $BENCH/pgm-out.pgm" \
  "pamtopnm $BENCH/photo.pgm > $BENCH/pgm-out-nb.pgm"
rm -f "$BENCH"/pgm-out*
