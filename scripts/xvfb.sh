#!/usr/bin/env bash
# start: starts (once) an Xvfb for dialog tests and prints its DISPLAY; stop: stops it.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
STATE="$TREL_BUILD/xvfb"
case "${1:-start}" in
  start)
    if [ -f "$STATE.pid" ] && kill -0 "$(cat "$STATE.pid")" 2>/dev/null; then cat "$STATE.display"; exit 0; fi
    for n in $(seq 91 120); do
      [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      pid=$!
      for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
      if kill -0 $pid 2>/dev/null; then
        echo $pid > "$STATE.pid"; echo ":$n" > "$STATE.display"; echo ":$n"; exit 0
      fi
    done
    echo "no Xvfb display could be started" >&2; exit 1;;
  stop)
    [ -f "$STATE.pid" ] && kill "$(cat "$STATE.pid")" 2>/dev/null || true
    rm -f "$STATE.pid" "$STATE.display";;
esac
