#!/usr/bin/env bash
# Runs the script-argument fuzzer (tests/wine/dispatch_fuzz.cpp) under Wine on three small
# pictures made here: dispatch-fuzz.sh FUZZER.exe [CALLS [SEED]].
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
exe="$1"
data="$TREL_BUILD/dispatch-fuzz-data"
mkdir -p "$data"
if [ ! -f "$data/photo.gif" ]; then
  convert -size 200x150 -seed 3 plasma:fractal "$data/photo.jpg"
  convert "$data/photo.jpg" -type truecolor "BMP3:$data/photo.bmp"
  convert "$data/photo.jpg" -colors 64 "$data/photo.gif"
fi
export TREL_FUZZ_CALLS="${2:-${TREL_FUZZ_CALLS:-400}}" TREL_FUZZ_SEED="${3:-${TREL_FUZZ_SEED:-20261208}}"
export TREL_TEST_TIMEOUT="${TREL_TEST_TIMEOUT:-$((600 + TREL_FUZZ_CALLS / 5))}"
exec "$TREL_ROOT/scripts/wine-test.sh" "$exe" "$(winpath "$data")"
