#!/usr/bin/env bash
# Runs a command while a device model serves COM<N> of the test prefix:
#   pty-com.sh N MODEL-ARGS... -- COMMAND...
# MODEL-ARGS are those of the ptycom tool after the link (e.g. "echo"). The model stops afterwards.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
n="$1"; shift
model=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do model+=("$1"); shift; done
shift
PTYCOM="${PTYCOM:-$TREL_BUILD/native/ptycom}"
link="$WINEPREFIX/dosdevices/com$n"
fifo="$(mktemp -u)"; mkfifo "$fifo"
"$PTYCOM" "$link" "${model[@]}" > "$fifo" &
pid=$!
if ! timeout 10 head -n 1 "$fifo" | grep -q '^ready'; then
  echo "device model on COM$n did not start" >&2; kill $pid 2>/dev/null; rm -f "$fifo"; exit 1
fi
cat "$fifo" >/dev/null &
"$@"
rc=$?
kill $pid 2>/dev/null; wait $pid 2>/dev/null
rm -f "$fifo"
exit $rc
