# Sourced by scripts/bench.sh: GIF decode and encode of the 12-megapixel photo in 256 colours.
[ -f "$BENCH/photo.gif" ] || convert "$BENCH/photo.ppm" -colors 256 "$BENCH/photo.gif"
[ -f "$BENCH/photo8.bmp" ] || convert "$BENCH/photo.gif" -type Palette BMP3:"$BENCH/photo8.bmp"

# Through BMP when our BMP codec reads and writes it; otherwise decode alone and GIF to GIF.
if "$TRELIMG" convert "$BENCH/photo.gif" "$BENCH/gif-probe.bmp" >/dev/null 2>&1 &&
   "$TRELIMG" info "$BENCH/photo8.bmp" >/dev/null 2>&1; then
  compare "GIF decode 4000x3000 8-bit (to BMP)" \
    "$TRELIMG convert $BENCH/photo.gif $BENCH/gif-out.bmp" \
    "convert $BENCH/photo.gif $BENCH/gif-out-im.bmp"
  compare "GIF encode 4000x3000 8-bit (from BMP)" \
    "$TRELIMG convert $BENCH/photo8.bmp $BENCH/gif-out.gif" \
    "convert $BENCH/photo8.bmp $BENCH/gif-out-im.gif"
else
  compare "GIF decode 4000x3000 8-bit (no output)" \
    "$TRELIMG info $BENCH/photo.gif" \
    "convert $BENCH/photo.gif null:"
  compare "GIF decode+encode 4000x3000 (ImageMagick)" \
    "$TRELIMG convert $BENCH/photo.gif $BENCH/gif-out.gif" \
    "convert $BENCH/photo.gif $BENCH/gif-out-im.gif"
fi
rm -f "$BENCH/gif-probe.bmp"

# giflib: gif2rgb decodes to raw RGB, matched by our 24-bit PPM output when we have it; giftool
# decodes and encodes again.
if "$TRELIMG" convert "$BENCH/photo.gif" "$BENCH/gif-probe.ppm" >/dev/null 2>&1; then
  compare "GIF decode 4000x3000 to RGB (giflib gif2rgb)" \
    "$TRELIMG convert $BENCH/photo.gif $BENCH/gif-out.ppm" \
    "gif2rgb -1 -o $BENCH/gif-out.rgb $BENCH/photo.gif"
else
  compare "GIF decode 4000x3000 (giflib gif2rgb, to RGB)" \
    "$TRELIMG info $BENCH/photo.gif" \
    "gif2rgb -1 -o $BENCH/gif-out.rgb $BENCH/photo.gif"
fi
rm -f "$BENCH/gif-probe.ppm"
compare "GIF decode+encode 4000x3000 (giflib giftool)" \
  "$TRELIMG convert $BENCH/photo.gif $BENCH/gif-out.gif" \
  "giftool < $BENCH/photo.gif > $BENCH/gif-out-gl.gif"
