# Sourced by every script that runs Wine. Chooses the Windows architecture the tests run:
# win32 (the shipped i686 DLL) where this kernel runs 32-bit code, otherwise win64 (the same
# sources built for x86_64), because a kernel booted without IA-32 emulation cannot start wine32.
TREL_ROOT="${TREL_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
TREL_BUILD="${BUILD_DIR:-$TREL_ROOT/build}"
if [ -z "${TREL_WINARCH:-}" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then TREL_WINARCH=win32; else TREL_WINARCH=win64; fi
fi
if [ "$TREL_WINARCH" = win32 ]; then
  TREL_WINE=/usr/lib/wine/wine; TREL_WINESERVER=/usr/lib/wine/wineserver32; TREL_WINBUILD="$TREL_BUILD/win32"
else
  TREL_WINE=/usr/lib/wine/wine64; TREL_WINESERVER=/usr/lib/wine/wineserver64; TREL_WINBUILD="$TREL_BUILD/win64"
  export WINELOADER=/usr/lib/wine/wine64
fi
export TREL_WINARCH TREL_WINE TREL_WINESERVER TREL_WINBUILD TREL_BUILD TREL_ROOT
export WINEPREFIX="${WINEPREFIX:-$TREL_BUILD/wineprefix-$TREL_WINARCH}" WINEARCH="$TREL_WINARCH"
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LOCPATH="$TREL_BUILD/locale"
export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 2>/dev/null
# Linux path -> Z:\ path
winpath() { local p; p="$(readlink -f "$1")"; echo "Z:${p//\//\\}"; }
