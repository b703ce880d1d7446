#!/usr/bin/env bash
# The i686 tier: the shipped 32-bit DLL (build/win32) in a 32-bit prefix of its own
# (build/wineprefix-i686, made once), in one Wine session: regsvr32, one cscript process running
# tests/i686/methods.vbs, and the C++ client's interface checks built for i686. The resized
# pictures are then checked by ImageMagick and against the native build of the same resize.
#
# Where the kernel runs no 32-bit code, 32-bit Wine runs under qemu-user (scripts/wine32-qemu.sh);
# elsewhere natively. TREL_I686_RUNNER=qemu or native chooses.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build}"
export BUILD_DIR="$BUILD"
export WINEPREFIX="${TREL_I686_PREFIX:-$BUILD/wineprefix-i686}"
DLL="$BUILD/win32/TrelClientHelper.dll"
CLIENT="$BUILD/win32/win_client_tests.exe"
TRELIMG="$BUILD/native/trelimg"
for f in "$DLL" "$CLIENT" "$TRELIMG"; do [ -f "$f" ] || { echo "test-i686: $f is not built" >&2; exit 1; }; done
CLIENT_FILTER='Interfaces.*:Lifetime.*:Aggregation.*:*NullOutPointer*:Results.*:*NotImplemented*:LateBound.*:*TypeLibrary*:ModuleFile.*'

runner="${TREL_I686_RUNNER:-}"
if [ -z "$runner" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then runner=native; else runner=qemu; fi
fi
case "$runner" in
  qemu) timeout_s=3600;;
  native) timeout_s=600;;
  *) echo "test-i686: TREL_I686_RUNNER is qemu or native" >&2; exit 2;;
esac
export TREL_I686_RUNNER="$runner"
QEMU="$ROOT/scripts/wine32-qemu.sh"
export LOCPATH="$BUILD/locale" LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 2>/dev/null
winpath() { local p; p="$(readlink -f "$1")"; echo "Z:${p//\//\\}"; }

t_start=$SECONDS
"$QEMU" prefix
t_prefix=$((SECONDS - t_start))

work="$WINEPREFIX/drive_c/trel-i686"
rm -rf "$work"; mkdir -p "$work"
cat "$ROOT/tests/scripts/lib/prelude.vbs" "$ROOT/tests/i686/methods.vbs" | iconv -f UTF-8 -t CP1251 > "$work/methods.vbs"
convert -size 1600x1200 -seed 7 plasma:fractal -quality 90 "$work/photo.jpg"
# Each step leaves a file behind; their times split the session into its steps.
printf '%s\r\n' '@echo off' \
  "regsvr32 /s $(winpath "$DLL")" 'echo regsvr32 %ERRORLEVEL%' 'echo registered > C:\trel-i686\registered' \
  "cscript //nologo C:\\trel-i686\\methods.vbs C:\\trel-i686\\methods.out $(winpath "$ROOT/tests/data") $(winpath "$DLL") C:\\trel-i686\\photo.jpg" \
  "$(winpath "$CLIENT") --gtest_filter=$CLIENT_FILTER --gtest_brief=1 > C:\\trel-i686\\client.out 2>&1" \
  'echo client %ERRORLEVEL%' > "$work/run.bat"

echo "test-i686: $runner, $(basename "$DLL") $(stat -c %s "$DLL") bytes, prefix ready in ${t_prefix} s"
t0=$SECONDS
start=$(date +%s)
rc=0
( cd "$work" && TREL_DLL="$DLL" timeout --kill-after=30 "$timeout_s" \
    "$QEMU" wine cmd /c 'C:\trel-i686\run.bat' </dev/null >"$work/run.log" 2>"$work/wine.err" ) || rc=$?
t_session=$((SECONDS - t0))
"$QEMU" kill
tr -d '\r' < "$work/run.log"

fails=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fails=$((fails + 1)); fi; }
check "the Wine session ended by itself (exit $rc)" '[ $rc -ne 124 ] && [ $rc -ne 137 ]'
check "regsvr32 registered the i686 DLL" 'grep -q "^regsvr32 0" <(tr -d "\r" < "$work/run.log")'
if [ -f "$work/methods.out" ]; then
  iconv -f CP1251 -t UTF-8 "$work/methods.out" | tr -d '\r' | sed 's/^/     /'
fi
check "the script ran to its end without a failure" \
  '[ -f "$work/methods.out" ] && [ "$(tail -n 1 "$work/methods.out" | tr -d "\r")" = DONE ] && ! grep -q "^FAIL" "$work/methods.out"'
[ -f "$work/client.out" ] && tr -d '\r' < "$work/client.out" | sed 's/^/     /' | tail -n 15
check "the C++ client's interface checks passed" 'grep -q "^client 0" <(tr -d "\r" < "$work/run.log")'

# The pictures the i686 DLL wrote, read by ImageMagick and compared with the native resize.
unix_of() { local p="${1#C:\\}"; p="${p//\\//}"; echo "$WINEPREFIX/drive_c/$p"; }
for kind in GIF JPEG; do
  win="$(grep -a "^RESIZED-$kind " "$work/methods.out" 2>/dev/null | tr -d '\r' | cut -d' ' -f2- || true)"
  file="$(unix_of "$win")"
  check "$kind resized by the i686 DLL is a 640x480 $kind ($win)" \
    '[ -n "$win" ] && [ "$(identify -format "%m %wx%h" "$file" 2>/dev/null)" = "$kind 640x480" ]'
  src="$work/photo.jpg"; [ $kind = GIF ] && src="$ROOT/tests/data/pictures/photo_1600x1200.gif"
  ext=jpg; [ $kind = GIF ] && ext=gif
  "$TRELIMG" resize "$src" "$work/native.$ext" 640 480 >/dev/null 2>&1 || true
  check "$kind: the same bytes as the native build's resize" 'cmp -s "$file" "$work/native.$ext"'
done

since() { [ -f "$1" ] && echo $(( $(stat -c %Y "$1") - $2 )) || echo "-"; }
reg_s=$(since "$work/registered" "$start")
script_s=$(since "$work/methods.out" "$start")
client_s=$(since "$work/client.out" "$start")
echo "test-i686: prefix ${t_prefix} s; one Wine session ${t_session} s ($runner): start and regsvr32 ${reg_s} s," \
     "script done at ${script_s} s, client done at ${client_s} s"
echo "test-i686: $fails failed"
[ $fails -eq 0 ]
