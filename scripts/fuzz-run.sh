#!/usr/bin/env bash
# fuzz-run.sh TARGET CORPUS [SECONDS]: runs a libFuzzer target over its seed corpus (in a scratch
# copy, so new inputs do not land in the repository) and reports the executions.
set -uo pipefail
target="$1"; corpus="$2"; seconds="${3:-${TREL_FUZZ_SECONDS:-20}}"
[ -n "$seconds" ] || seconds=20
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
[ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null
log="$work.log"
"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=60 -max_len=262144 -print_final_stats=1 \
  -artifact_prefix="$(dirname "$target")/crash-$(basename "$target")-" "$work" >"$log" 2>&1
rc=$?
runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
echo "$(basename "$target"): ${runs:-?} executions in ${seconds}s, exit $rc"
[ $rc -eq 0 ] || tail -40 "$log"
rm -f "$log"
exit $rc
