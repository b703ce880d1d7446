# Sourced by scripts/bench.sh: the video frame dialog's JPEG write (quality 95) of a 640 x 480
# frame against cjpeg on the same pixels: the stand-in camera's colour bars (as the Wine test
# grabbed them, when it has run) and a photo-like crop. 20 writes per measured run, so that
# process start-up does not hide the codec.
FRAME_BARS="$BENCH/frame-bars.ppm"
GRABBED="$BUILD/wineprefix-win64/drive_c/trel-tests/video_frame.ppm"
if [ -f "$GRABBED" ]; then
  cp "$GRABBED" "$FRAME_BARS"
else
  convert -size 80x360 xc:white xc:yellow xc:cyan xc:lime xc:magenta xc:red xc:blue xc:black +append \
    \( -size 640x120 xc:'rgb(32,32,96)' \) -append -depth 8 "PPM:$FRAME_BARS"
fi
FRAME_PHOTO="$BENCH/frame-photo.ppm"
[ -f "$FRAME_PHOTO" ] || convert "$PHOTO" -crop 640x480+1000+1000 +repage -depth 8 "PPM:$FRAME_PHOTO"
for f in bars photo; do
  compare "video frame JPEG q95 640x480 $f (x20)" \
    "for i in \$(seq 20); do $TRELIMG bench-frame $BENCH/frame-$f.ppm $BENCH/frame-$f.jpg; done" \
    "for i in \$(seq 20); do cjpeg -quality 95 $BENCH/frame-$f.ppm > $BENCH/frame-$f-peer.jpg; done"
done
