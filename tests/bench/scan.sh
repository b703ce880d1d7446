# Sourced by scripts/bench.sh: the A4 page at 300 dpi that the TWAIN source stand-in hands over
# (2480 x 3508, 24 bits), written as JPEG at the scanner's settings (quality 75, baseline).
[ -f "$BENCH/scanpage.ppm" ] || "$BUILD/native/scanpage" 2480 3508 "$BENCH/scanpage.ppm"
[ -f "$BENCH/scanpage.bmp" ] || convert "$BENCH/scanpage.ppm" -depth 8 -type TrueColor "BMP3:$BENCH/scanpage.bmp"
compare "JPEG encode A4 scan page, cjpeg from PPM" \
  "$TRELIMG bench-encode $BENCH/scanpage.ppm $BENCH/scanpage.jpg" \
  "cjpeg -quality 75 -baseline $BENCH/scanpage.ppm > $BENCH/scanpage-peer.jpg"
# Our writer alone on the page in memory (median of 7 in one process) against the whole cjpeg
# process reading the PPM: the writer's own cost as a scan pays it.
alone=$("$BUILD/native/scanpage" 2480 3508 --jpeg "$BENCH/scanpage-alone.jpg")
peer=$(median_ms bash -c "cjpeg -quality 75 -baseline $BENCH/scanpage.ppm > $BENCH/scanpage-peer.jpg")
printf '%-44s ours %6d ms   peer %6d ms   ratio %s\n' "JPEG write alone, A4 scan page in memory" "$alone" "$peer" \
  "$(awk -v a="$alone" -v b="$peer" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
cmp -s "$BENCH/scanpage-alone.jpg" "$BENCH/scanpage-peer.jpg" && echo "  (the two JPEG files are byte for byte the same)"
