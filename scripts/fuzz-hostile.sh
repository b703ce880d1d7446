#!/usr/bin/env bash
# Long fuzz runs where outside data is most hostile: the JPEG, Bitmap, GIF, TIFF and PCX readers and
# the key reader and Hod-Test line protocols, FUZZ_SECONDS each (1800 by default), JOBS at a time.
# Each run starts from the seed corpus; afterwards the grown corpus is merged back into the seed
# corpus minimised (libFuzzer's -merge=1 keeps only inputs that add coverage), crash inputs are
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
  local grown; grown="$(mktemp -d)"
  "$bin" -merge=1 -rss_limit_mb=2048 -max_len=262144 "$grown" "$seeds" "$work" > /dev/null 2>&1
  local after; after="$(coverage "$bin" "$grown")"
  if [ -n "$after" ] && [ "${after:-0}" -ge "${before:-0}" ]; then
    rm -rf "$seeds"; mkdir -p "$seeds"; cp "$grown"/* "$seeds"/ 2>/dev/null
  fi
  rmdir "$crashes" 2>/dev/null
  echo "$name: ${runs:-?} executions in ${seconds}s, exit $rc; edge coverage ${before:-?} -> ${after:-?}; seed corpus $(ls "$seeds" | wc -l) files" | tee -a "$report"
  rm -rf "$work" "$work.log" "$grown"
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ $running -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
done
wait
echo "report: $report"
