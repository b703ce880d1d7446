#!/usr/bin/env bash
# The component's main job on this machine: register the DLL in a prefix of its own and run the
# demonstration script through cscript, as the client program's scripts call it.
set -euo pipefail
BUILD="${BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX="$BUILD/demo-prefix-${TREL_WINARCH:-win32}"
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
WINEPREFIX="$WINEPREFIX" "$TREL_ROOT/scripts/wineprefix.sh" >/dev/null
dll="$TREL_WINBUILD/TrelClientHelper.dll"
echo "== TrelClientHelper demo ($TREL_WINARCH build: $dll)"
[ "$TREL_WINARCH" = win64 ] && echo "   (this kernel runs no 32-bit code: the x86_64 build of the same sources stands in for the i686 DLL)"
export DISPLAY="${DISPLAY:-$("$TREL_ROOT/scripts/xvfb.sh" start)}"
"$TREL_WINE" wineboot >/dev/null 2>&1 </dev/null || true
"$TREL_WINE" regsvr32 /s "$(winpath "$dll")"
echo "== registered with regsvr32 in $WINEPREFIX"
work="$WINEPREFIX/drive_c/demo"
mkdir -p "$work"
iconv -f UTF-8 -t CP1251 "$TREL_ROOT/demo/demo.vbs" > "$work/demo.vbs"
# The bundled photo: a 2592 x 1944 (5 MP) picture made once with ImageMagick, as a camera would deliver it.
photo="$BUILD/demo-photo.jpg"
if [ ! -f "$photo" ]; then
  convert -size 2592x1944 -seed 11 plasma:fractal -blur 0x2 -attenuate 0.2 +noise Gaussian -quality 90 "$photo"
fi
cp "$photo" "$work/photo.jpg"
rm -f "$work/photo_640x480.jpg"
# cscript writes to the console in the OEM code page (866 in the Russian locale).
# A simulated key reader serves COM5 for as long as the script runs.
echo "== a simulated ASCII-line key reader (key 00A1B2C3) serves COM5"
"$TREL_ROOT/scripts/pty-com.sh" 5 asciikey number=00A1B2C3 -- \
  "$TREL_WINE" cscript //nologo 'C:\demo\demo.vbs' "$(winpath "$dll")" 'C:\demo\photo.jpg' 2>/dev/null | iconv -f CP866 -t UTF-8 | tr -d '\r'
echo "== checked natively: $("$BUILD/native/trelimg" info "$work/photo.jpg" | sed "s|$work/||"); $("$BUILD/native/trelimg" info "$work/photo_640x480.jpg" | sed "s|$work/||")"
"$TREL_WINESERVER" -w
