#!/usr/bin/env bash
# video_script.sh VIDEO_TEST.exe SCRIPT.vbs: runs the script client of GetPictureFromCam while the
# video test program's driver (VideoScriptDriver) registers the capture source stand-in and
# presses the buttons the script expects. The stand-in in the script's process logs where the
# driver reads.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
work="$WINEPREFIX/drive_c/trel-tests"
mkdir -p "$work"
rm -f "$work/video_driver.ready"
export TREL_CAMERA_LOG='C:\trel-tests\trelcam.log'
"$TREL_ROOT/scripts/wine-unmanaged.sh" "$1" --gtest_filter=VideoScriptDriver.* &
driver=$!
for _ in $(seq 600); do [ -f "$work/video_driver.ready" ] && break; sleep 0.1; done
[ -f "$work/video_driver.ready" ] || echo "FAIL: the driver did not get ready"
"$TREL_ROOT/scripts/wine-unmanaged.sh" --cscript "$2" &
client=$!
wait $driver
drc=$?
if [ $drc -ne 0 ]; then
  # A driver that gave up leaves a dialog open: the script would wait for ever.
  sleep 5
  kill -- $client 2>/dev/null
fi
wait $client
rc=$?
[ $rc -eq 0 ] && [ $drc -eq 0 ]
