#!/usr/bin/env bash
# regsvr32 /u removes the component's keys and leaves the classes root's CLSID key; regsvr32
# registers it again with this DLL as the in-process server.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
dll="$(winpath "$TREL_DLL")"
clsid='HKCR\CLSID\{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}'
fails=0
export LC_ALL=C
q() { "$TREL_WINE" reg query "$@" >/dev/null 2>&1; }
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fails=$((fails+1)); fi; }

"$TREL_WINE" regsvr32 /u /s "$dll"; check "regsvr32 /u succeeds" '[ $? -eq 0 ]'
check "ProgID key gone" '! q "HKCR\TrelClientHelper.ClientHelper"'
check "versioned ProgID key gone" '! q "HKCR\TrelClientHelper.ClientHelper.1"'
check "class key gone" '! q "$clsid"'
check "HKCR\\CLSID stays" 'q "HKCR\CLSID"'
check "type library registration gone" '! q "HKCR\TypeLib\{4D8B2E61-7A3C-4F15-9E62-B1C0D5A8F327}\1.0"'

"$TREL_WINE" regsvr32 /s "$dll"; check "regsvr32 succeeds" '[ $? -eq 0 ]'
server="$("$TREL_WINE" reg query "$clsid\\InprocServer32" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ\s*//p')"
check "InprocServer32 is this DLL ($server)" '[ "${server,,}" = "${dll,,}" ]'
model="$("$TREL_WINE" reg query "$clsid\\InprocServer32" /v ThreadingModel 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ\s*//p')"
check "ThreadingModel Apartment" '[ "$model" = "Apartment" ]'
check "type library registered" 'q "HKCR\TypeLib\{4D8B2E61-7A3C-4F15-9E62-B1C0D5A8F327}\1.0"'
check "safe-for-scripting category" 'q "$clsid\Implemented Categories\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"'
echo "$fails failed"
[ $fails -eq 0 ]
