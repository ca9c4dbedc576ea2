#!/usr/bin/env bash
# Checks the exports and imports of ostrivel.dll as objdump shows them: the
# seven functions under their GCC names and, at the same addresses, under
# their MSVC names for the DLL's width (x64 marks a pointer parameter PEBD
# where x86 has PBD), nothing else exported, and nothing imported but
# KERNEL32, msvcrt, USER32 and WS2_32 (libgcc, libstdc++ and winpthread are
# inside).
#
# Usage: check_exports.sh <objdump> <ostrivel.dll> <32|64>
set -euo pipefail
objdump="$1"
dll="$2"
case "${3:-}" in
  32) pointer=PBD; format=pei-i386 ;;
  64) pointer=PEBD; format=pei-x86-64 ;;
  *) echo "usage: $0 <objdump> <ostrivel.dll> <32|64>" >&2; exit 2 ;;
esac

headers="$("$objdump" -p "$dll")"
if ! grep -q "file format $format\$" <<<"$headers"; then
  echo "not a $format DLL: $(grep -m1 'file format' <<<"$headers")" >&2
  exit 1
fi

# "name address" for every exported name: the names come with their
# ordinal, the addresses with theirs.
exports="$(awk '
  /^Export Address Table -- Ordinal Base/ { section = "eat"; next }
  /^\[Ordinal\/Name Pointer\] Table/ { section = "names"; next }
  /^$/ { section = "" }
  section == "eat" && /Export RVA/ {
    gsub(/[\[\]]/, " "); rva[$1] = $4
  }
  section == "names" && /^\t\[/ {
    line = $0; sub(/^\t\[ *[0-9]+\] /, "", line)
    match($0, /[0-9]+/); ordinal = substr($0, RSTART, RLENGTH)
    name[line] = ordinal
  }
  END { for (n in name) print n, rva[name[n]] }
' <<<"$headers" | sort)"

status=0
count=0
check() {
  local msvc="$1" gcc="$2"
  local msvcAddress gccAddress
  msvcAddress="$(awk -v n="$msvc" '$1 == n { print $2 }' <<<"$exports")"
  gccAddress="$(awk -v n="$gcc" '$1 == n { print $2 }' <<<"$exports")"
  if [ -z "$msvcAddress" ] || [ -z "$gccAddress" ]; then
    echo "missing export: ${msvcAddress:+$gcc}${msvcAddress:-$msvc}" >&2
    status=1
  elif [ "$msvcAddress" != "$gccAddress" ]; then
    echo "$msvc at $msvcAddress, $gcc at $gccAddress" >&2
    status=1
  else
    echo "$msvc = $gcc at RVA $msvcAddress"
  fi
  count=$((count + 2))
}
check "?Init@Functionality@@YA_N${pointer}@Z" _ZN13Functionality4InitEPKc
check '?Open@Functionality@@YA_NXZ' _ZN13Functionality4OpenEv
check '?StartNewTestCase@Functionality@@YA_NXZ' \
  _ZN13Functionality16StartNewTestCaseEv
check "?SetTestName@Functionality@@YA_N${pointer}@Z" _ZN13Functionality11SetTestNameEPKc
check '?GetCurrentPath@Functionality@@YA_NXZ' _ZN13Functionality14GetCurrentPathEv
check '?GetCollectedInformation@Functionality@@YA_NXZ' \
  _ZN13Functionality23GetCollectedInformationEv
check '?Close@Functionality@@YA_NXZ' _ZN13Functionality5CloseEv

exported="$(grep -c . <<<"$exports" || true)"
if [ "$exported" -ne "$count" ]; then
  echo "$exported names exported, expected $count:" >&2
  echo "$exports" >&2
  status=1
fi

imports="$(grep 'DLL Name:' <<<"$headers" | awk '{ print toupper($3) }' |
  sort | tr '\n' ' ')"
if [ "$imports" != "KERNEL32.DLL MSVCRT.DLL USER32.DLL WS2_32.DLL " ]; then
  echo "imports: $imports" >&2
  status=1
else
  echo "imports: $imports"
fi
exit "$status"
