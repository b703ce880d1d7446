#!/usr/bin/env bash
# Builds the installers from the checked distribution folder with wixl (msitools):
#   msi.sh DIST OUTDIR [VERSION]
# writes OUTDIR/TrelClientHelper-<version>-x64.msi (both DLLs, for 64-bit Windows) and
# OUTDIR/TrelClientHelper-<version>-x86.msi (the 32-bit DLL, for 32-bit Windows). The version
# comes from the DLL's version block unless given (the upgrade test builds a lower one); the
# product code is derived from the upgrade code, version and architecture, so one version
# always gets the same code and every other version a different one.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dist="$(readlink -f "$1")"; out="$(mkdir -p "$2" && readlink -f "$2")"; version="${3:-}"
UPGRADE_CODE=2B484604-47A2-40BC-AFAF-AD3D69C85529
mkdir -p "$out"
if [ -z "$version" ]; then
  version="$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from pe_info import PeFile
print(PeFile(sys.argv[2]).version_strings()["ProductVersion"])' "$ROOT/scripts" "$dist/x86/TrelClientHelper.dll")"
fi
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "msi: version '$version' is not major.minor.build" >&2; exit 1; }
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT

for arch in x64 x86; do
  msi="$out/TrelClientHelper-$version-$arch.msi"
  code="$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), "TrelClientHelper " + sys.argv[2] + " " + sys.argv[3])).upper())' \
          "$UPGRADE_CODE" "$version" "$arch")"
  rm -f "$msi"
  # wixl looks for the files' sources relative to the current folder.
  ( cd "$dist" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D ProductCode="$code" \
                  -o "$msi" "$ROOT/packaging/TrelClientHelper.wxs" )
  comps=(--component DLL32:32:dll32:INSTALLDIR32)
  [ "$arch" = x64 ] && comps=(--component DLL64:64:dll64:INSTALLDIR64 "${comps[@]}")
  ( cd "$work"
    python3 "$ROOT/scripts/msi_registry.py" --rgs "$ROOT/src/resources/TrelClientHelper.rgs" \
      --idl "$ROOT/src/resources/TrelClientHelper.idl" "${comps[@]}" > Registry.idt
    # The picture selection control's own registration, in the same table (without its header).
    ctls=(--component CTL32:32:ctl32:INSTALLDIR32)
    [ "$arch" = x64 ] && ctls=(--component CTL64:64:ctl64:INSTALLDIR64 "${ctls[@]}")
    python3 "$ROOT/scripts/msi_registry.py" --rgs "$ROOT/src/resources/TrelPictureSelect.rgs" "${ctls[@]}" |
      tail -n +4 >> Registry.idt
    # The log the DLL writes beside itself goes with it on uninstall.
    msiinfo export "$msi" RemoveFile > RemoveFile.idt
    for bits in 32 64; do
      [ "$arch" = x86 ] && [ $bits = 64 ] && continue
      printf 'log%s\tDLL%s\ttrel_log.txt\tINSTALLDIR%s\t2\r\n' $bits $bits $bits >> RemoveFile.idt
    done
    msibuild "$msi" -i Registry.idt -i RemoveFile.idt
    # Versioned files: repairs and upgrades compare the DLLs by their version blocks.
    for bits in 32 64; do
      [ "$arch" = x86 ] && [ $bits = 64 ] && continue
      dir=x86; [ $bits = 64 ] && dir=x64
      fv="$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from pe_info import PeFile
print(PeFile(sys.argv[2]).file_version())' "$ROOT/scripts" "$dist/$dir/TrelClientHelper.dll")"
      msibuild "$msi" -q "UPDATE File SET Version = '$fv', Language = '1049' WHERE File = 'dll$bits'"
    done
    seq="$(msiinfo export "$msi" InstallExecuteSequence)"
    for action in RemoveRegistryValues:2600 RemoveFiles:3500 WriteRegistryValues:5000; do
      grep -q "^${action%%:*}	" <<<"$seq" ||
        msibuild "$msi" -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('${action%%:*}', ${action##*:})"
    done )
  echo "msi: $msi ($(stat -c %s "$msi") bytes, product code {$code})"
done
