# Sourced by scripts/bench.sh: the video frame dialog's JPEG write (quality 95) of a 640 x 480
# frame against cjpeg on the same pixels: the stand-in camera's colour bars as the Wine test
# grabbed them (drawn here when that test has not run) and a photo-like crop. 20 writes per
# measured run, so that process start-up does not hide the codec. Like the component, cjpeg
# holds the whole frame when it reads a BMP; from a PPM it streams rows and never does.
# A 640 x 480 write takes milliseconds, less than the noise of wall time on a busy machine: where
# perf is there, processor time (task-clock, 40 runs) is compared as well.
cpu_ms() {  # command... -> task-clock in ms, mean of 40 runs
  perf stat -x, -r 40 -e task-clock "$@" 2>&1 >/dev/null | awk -F, '/task-clock/ { printf "%.2f", $1 }'
}
compare_cpu() {  # label, ours (command words), --, peer (command words)
  local label="$1" a b; shift
  local ours=() peer=()
  while [ "$1" != "--" ]; do ours+=("$1"); shift; done; shift
  peer=("$@")
  a=$(cpu_ms "${ours[@]}"); b=$(cpu_ms "${peer[@]}")
  printf '%-44s ours %6s ms   peer %6s ms   ratio %s (processor time)\n' "$label" "$a" "$b" \
    "$(awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
}
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
  convert "$BENCH/frame-$f.ppm" -depth 8 -type TrueColor "BMP3:$BENCH/frame-$f.bmp"
  compare "video frame JPEG q95 640x480 $f, cjpeg BMP (x20)" \
    "for i in \$(seq 20); do $TRELIMG bench-frame $BENCH/frame-$f.ppm $BENCH/frame-$f.jpg; done" \
    "for i in \$(seq 20); do cjpeg -quality 95 -outfile $BENCH/frame-$f-peer.jpg $BENCH/frame-$f.bmp; done"
  compare "video frame JPEG q95 640x480 $f, cjpeg PPM (x20)" \
    "for i in \$(seq 20); do $TRELIMG bench-frame $BENCH/frame-$f.ppm $BENCH/frame-$f.jpg; done" \
    "for i in \$(seq 20); do cjpeg -quality 95 -outfile $BENCH/frame-$f-peer.jpg $BENCH/frame-$f.ppm; done"
  if command -v perf >/dev/null 2>&1 && perf stat -e task-clock true >/dev/null 2>&1; then
    for from in bmp ppm; do
      compare_cpu "video frame JPEG q95 640x480 $f, cjpeg ${from^^}" \
        "$TRELIMG" bench-frame "$BENCH/frame-$f.ppm" "$BENCH/frame-$f.jpg" -- \
        cjpeg -quality 95 -outfile "$BENCH/frame-$f-peer.jpg" "$BENCH/frame-$f.$from"
    done
  fi
  printf '%-44s %s\n' "video frame JPEG write alone, $f" "$($TRELIMG bench-frame "$BENCH/frame-$f.ppm" "$BENCH/frame-$f.jpg" 50)"
done
