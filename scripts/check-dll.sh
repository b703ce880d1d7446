#!/usr/bin/env bash
# Static checks of a built DLL: it imports only Windows' own DLLs (the C++ runtime, libgcc,
# winpthread and libjpeg are linked in), and exports exactly the four COM entry points by name.
set -euo pipefail
dll="$1"
objdump_bin="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
dump="$("$objdump_bin" -p "$dll")"
allowed="kernel32 user32 gdi32 advapi32 ole32 oleaut32 shell32 comdlg32 comctl32 msvcrt setupapi winmm version shlwapi uuid urlmon"
bad=0
imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sed 's/\.dll$//' | sort -u)
for d in $imports; do
  if ! echo " $allowed " | grep -q " $d "; then echo "FAIL: imports $d.dll"; bad=1; fi
done
exports=$(echo "$dump" | sed -n 's/^\s*\[ *[0-9]*\] \([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' | sort | tr '\n' ' ')
if [ "$exports" != "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]; then
  echo "FAIL: exports are [$exports]"; bad=1
fi
echo "$(basename "$dll"): $(stat -c %s "$dll") bytes; imports: $(echo $imports | sed 's/ /, /g'); exports: $exports"
exit $bad
