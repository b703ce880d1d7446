# Sourced by scripts/bench.sh: the A4 page at 300 dpi that the TWAIN source stand-in hands over
# (2480 x 3508, 24 bits), written as JPEG at the scanner's settings (quality 75, baseline).
[ -f "$BENCH/scanpage.ppm" ] || "$BUILD/native/scanpage" 2480 3508 "$BENCH/scanpage.ppm"
compare "JPEG encode A4 scan page 2480x3508 q75" \
  "$TRELIMG bench-encode $BENCH/scanpage.ppm $BENCH/scanpage.jpg" \
  "cjpeg -quality 75 -baseline $BENCH/scanpage.ppm > $BENCH/scanpage-peer.jpg"
