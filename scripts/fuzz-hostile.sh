#!/usr/bin/env bash
# Long fuzz runs where outside data is most hostile: the JPEG, Bitmap, GIF, TIFF and PCX readers and
# the key reader and Hod-Test line protocols, FUZZ_SECONDS each (1800 by default), JOBS at a time.
# Each run starts from the seed corpus; afterwards the inputs it found that add coverage join the
# seed corpus (libFuzzer's -merge=1; the named seeds stay), crash inputs are
# kept under tests/fuzz/regressions/<target>/, and the edge coverage of the seed corpus before and
# after is reported with the executions:
#   fuzz-hostile.sh FUZZ_BUILD_DIR [TARGET...]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1"; shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_jpeg fuzz_bitmap fuzz_gif fuzz_tiff fuzz_pcx fuzz_keyreader fuzz_hodtest)
seconds="${FUZZ_SECONDS:-1800}"; jobs="${JOBS:-2}"
report="$build/fuzz-hostile-report.txt"
: > "$report"

coverage() {  # edge coverage of a corpus: libFuzzer's "cov:" after reading it in
  "$1" -runs=0 -rss_limit_mb=2048 -max_len=262144 "$2" 2>&1 | grep -o 'INITED cov: [0-9]*' | grep -o '[0-9]*$' | tail -1
}

run_one() {
  local name="$1" bin="$build/$1" seeds="$root/tests/fuzz/corpus/$1"
  local work; work="$(mktemp -d)"
  local before; before="$(coverage "$bin" "$seeds")"
  local crashes="$root/tests/fuzz/regressions/$name"
  mkdir -p "$crashes"
  "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=60 -max_len=262144 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$work" "$seeds" > "$work.log" 2>&1
  local rc=$?
  local runs; runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work.log" | grep -o '[0-9]*$')"
  # The named seeds (made by peers) stay; of the new inputs only those that add coverage join them.
  local added; added=$(ls "$seeds" | wc -l)
  "$bin" -merge=1 -rss_limit_mb=2048 -max_len=262144 "$seeds" "$work" > /dev/null 2>&1
  added=$(( $(ls "$seeds" | wc -l) - added ))
  local after; after="$(coverage "$bin" "$seeds")"
  rmdir "$crashes" 2>/dev/null
  echo "$name: ${runs:-?} executions in ${seconds}s, exit $rc; edge coverage ${before:-?} -> ${after:-?}; $added inputs added to the seed corpus" | tee -a "$report"
  rm -rf "$work" "$work.log"
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ $running -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
done
wait
echo "report: $report"
