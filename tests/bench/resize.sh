# Sourced by scripts/bench.sh: the ResizePicture pipeline (load, 24 bits, stretch, save) on the
# 12-megapixel JPEG to 640x480, against ImageMagick and against djpeg's decode alone; peak memory;
# stretch and rotate throughput; and the same call through the DLL from VBScript under Wine.
compare "resize 4000x3000 JPEG to 640x480 vs ImageMagick" \
  "$TRELIMG resize $BENCH/photo.jpg $BENCH/resized.jpg 640 480" \
  "convert $BENCH/photo.jpg -resize 640x480 $BENCH/resized-im.jpg"
compare "resize 4000x3000 JPEG to 640x480 vs djpeg decode" \
  "$TRELIMG resize $BENCH/photo.jpg $BENCH/resized.jpg 640 480" \
  "djpeg -ppm $BENCH/photo.jpg > /dev/null"
rss=$(/usr/bin/time -f %M "$TRELIMG" resize "$BENCH/photo.jpg" "$BENCH/resized.jpg" 640 480 2>&1 >/dev/null | tail -1)
printf '%-44s %s KiB (one 4000x3000x24 picture is %s KiB)\n' "resize peak RSS" "$rss" $((4000 * 3000 * 3 / 1024))
"$TRELIMG" bench-stretch "$BENCH/photo.jpg" | sed 's/^/pixel work: /'
"$TRELIMG" bench-rotate "$BENCH/photo.jpg" | sed 's/^/pixel work: /'

# Through the DLL: cscript calls ResizePicture on a copy of the photo in the test prefix.
bench_resize_wine() {
  . "$ROOT/scripts/wine-env.sh"
  local dll="$TREL_WINBUILD/TrelClientHelper.dll" work
  [ -f "$dll" ] && [ -d "$WINEPREFIX" ] || { echo "resize through the DLL: skipped (no $dll or prefix; run make test-wine first)"; return 0; }
  work="$WINEPREFIX/drive_c/trel-bench"; mkdir -p "$work"
  cat > "$work/resize.vbs" <<'VBS'
Dim o, fso, t, i, best, r, s
Set fso = CreateObject("Scripting.FileSystemObject")
Set o = CreateObject("TrelClientHelper.ClientHelper")
best = 1E9
For i = 1 To 3
    fso.CopyFile WScript.Arguments(0), WScript.Arguments(1), True
    t = Timer
    r = o.ResizePicture(WScript.Arguments(1), 640, 480)
    s = Timer - t
    If s < best Then best = s
Next
WScript.Echo "resize through the DLL from VBScript: best of 3 " & Int(best * 1000) & " ms"
VBS
  export DISPLAY="${DISPLAY:-$("$ROOT/scripts/xvfb.sh" start)}"
  "$TREL_WINE" regsvr32 /s "$(winpath "$dll")" >/dev/null 2>&1
  (cd "$work" && "$TREL_WINE" cscript //nologo 'C:\trel-bench\resize.vbs' "$(winpath "$BENCH/photo.jpg")" 'C:\trel-bench\photo.jpg' 2>/dev/null | tr -d '\r' | sed "s/\$/ ($TREL_WINARCH build)/")
  "$TREL_WINESERVER" -k 2>/dev/null || true
}
(bench_resize_wine)
rm -f "$BENCH"/resized*
