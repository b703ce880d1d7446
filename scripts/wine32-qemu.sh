#!/usr/bin/env bash
# Debian 12's 32-bit Wine under qemu-i386 user-mode emulation, for machines whose kernel runs no
# i386 code (IA-32 emulation off, 32-bit code segments refused, so WoW64 Wine cannot work either).
# Used by the i686 tier (scripts/test-i686.sh); everything lives in the build folder.
#
#   wine32-qemu.sh shim            build the loader shim under $SHIM
#   wine32-qemu.sh prefix          create the 32-bit prefix $WINEPREFIX once (minutes under emulation)
#   wine32-qemu.sh wine ARGS...    run 32-bit Wine on ARGS
#   wine32-qemu.sh kill            stop the wineserver of $WINEPREFIX
#
# How it works: Wine's 32-bit loader (/usr/lib/wine/wine) is an i386 ELF that qemu-i386 runs,
# passing its system calls to the 64-bit kernel. Wine starts every new Windows process by exec'ing
# "<bindir>/wine-preloader <bindir>/wine ...", with bindir taken from /proc/self/exe, which qemu
# reports as the path it was given. So the shim holds a copy of the loader (a symlink would
# resolve back to /usr/lib/wine) and a host script named wine-preloader that hands the loader to
# qemu-i386. The wineserver is the native 64-bit one of the same Wine version.
set -euo pipefail
BUILD="${BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
SHIM="${SHIM:-$BUILD/wine32-qemu}"
export WINEPREFIX="${WINEPREFIX:-$BUILD/wineprefix-i686}"
export WINEARCH=win32
export WINESERVER=/usr/lib/wine/wineserver64
export WINEDEBUG="${WINEDEBUG:--all}"
# winemenubuilder only writes desktop menus; mscoree/mshtml would ask for Mono and Gecko.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
unset WINELOADER
# qemu reserves the whole 4 GiB guest address space up front, as Wine expects of a 32-bit process.
export QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0xffff0000}"

die() { echo "wine32-qemu: $*" >&2; exit 1; }

cmd_shim() {
  [ -x /usr/lib/wine/wine ] || die "wine32:i386 is not installed (scripts/setup.sh installs it)"
  command -v qemu-i386 >/dev/null || die "qemu-user is not installed (scripts/setup.sh installs it)"
  rm -rf "$SHIM"
  mkdir -p "$SHIM/usr/lib/wine" "$SHIM/usr/share" "$SHIM/bin"
  cp /usr/lib/wine/wine "$SHIM/usr/lib/wine/wine"          # a copy: see the header
  ln -s /usr/lib/wine/wine64 "$SHIM/usr/lib/wine/wine64"
  ln -s /usr/lib/wine/wineserver64 "$SHIM/usr/lib/wine/wineserver"
  ln -s /usr/lib/i386-linux-gnu "$SHIM/usr/lib/i386-linux-gnu"     # ntdll.so and the other unix parts
  ln -s /usr/lib/x86_64-linux-gnu "$SHIM/usr/lib/x86_64-linux-gnu"
  ln -s /usr/share/wine "$SHIM/usr/share/wine"                     # wine.inf, nls
  cat > "$SHIM/usr/lib/wine/wine-preloader" <<'EOF'
#!/bin/sh
# Called by Wine as: wine-preloader <bindir>/wine ARGS... ; run the i386 loader under qemu.
loader="$1"; shift
exec /usr/bin/qemu-i386 "$loader" "$@"
EOF
  chmod +x "$SHIM/usr/lib/wine/wine-preloader"
  cat > "$SHIM/bin/wine" <<EOF
#!/bin/sh
exec /usr/bin/qemu-i386 "$SHIM/usr/lib/wine/wine" "\$@"
EOF
  chmod +x "$SHIM/bin/wine"
}

# TREL_I686_RUNNER=native runs the same 32-bit Wine without emulation, where the kernel can.
wine32() {
  if [ "${TREL_I686_RUNNER:-qemu}" = native ]; then /usr/lib/wine/wine "$@"; return; fi
  [ -x "$SHIM/bin/wine" ] || cmd_shim
  "$SHIM/bin/wine" "$@"
}

# Sets Start = 4 (disabled) for the services whose device host crash-loops under emulation, and
# for the event log, whose service host would be one more emulated process start per session; and
# turns off the crash dialog (edited in the files: every Wine process here costs a minute).
configure_prefix() {
  python3 - "$WINEPREFIX/system.reg" <<'EOF'
import re, sys
path = sys.argv[1]
text = open(path, encoding="utf-8", errors="surrogateescape").read()
blocks = text.split("\n\n")
for svc in ("MountMgr", "NDIS", "nsiproxy", "PlugPlay", "Eventlog"):
    head = "[System\\\\CurrentControlSet\\\\Services\\\\%s]" % svc
    found = [i for i, b in enumerate(blocks) if b.lower().startswith(head.lower())]
    if not found:
        sys.exit("no service key %s in %s" % (svc, path))
    for i in found:
        b, n = re.subn(r'^"Start"=dword:[0-9a-fA-F]+$', '"Start"=dword:00000004', blocks[i], flags=re.M)
        blocks[i] = b if n else b + '\n"Start"=dword:00000004'
open(path, "w", encoding="utf-8", errors="surrogateescape").write("\n\n".join(blocks))
EOF
  grep -q '^\[Software\\\\Wine\\\\WineDbg\]' "$WINEPREFIX/user.reg" ||
    printf '\n[Software\\\\Wine\\\\WineDbg]\n"ShowCrashDialog"=dword:00000000\n' >> "$WINEPREFIX/user.reg"
}

# Bumped when configure_prefix changes, so that a kept prefix is configured again.
PREFIX_CONFIG=2

cmd_prefix() {
  if [ -f "$WINEPREFIX/.trel-ready" ]; then
    if [ "$(cat "$WINEPREFIX/.trel-ready")" != "$PREFIX_CONFIG" ]; then
      "$WINESERVER" -k 2>/dev/null || true
      "$WINESERVER" -w 2>/dev/null || true
      configure_prefix
      echo "$PREFIX_CONFIG" > "$WINEPREFIX/.trel-ready"
    fi
    return 0
  fi
  local t0=$SECONDS
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wine32 wineboot -i </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w || true
  [ -f "$WINEPREFIX/system.reg" ] || die "wineboot made no prefix in $WINEPREFIX"
  configure_prefix
  echo "$PREFIX_CONFIG" > "$WINEPREFIX/.trel-ready"
  echo "32-bit prefix made in $((SECONDS - t0)) s: $WINEPREFIX"
}

case "${1:-}" in
  shim) cmd_shim ;;
  prefix) cmd_prefix ;;
  wine) shift; wine32 "$@" ;;
  kill) "$WINESERVER" -k 2>/dev/null || true ;;
  *) sed -n '2,10p' "$0"; exit 2 ;;
esac
