#!/usr/bin/env bash
# Checks the built varnel.dll: a PE32+ x86-64 DLL whose one export is CleanMemory,
# by name at ordinal 1, and which imports only kernel32, advapi32 and the C runtime.
# Usage: check-varnel-pe.sh <objdump> <varnel.dll>
set -u
objdump=$1
dll=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

headers=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll" >&2; exit 1; }

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a pei-x86-64 image"
grep -Eq '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)' <<<"$headers" || fail "optional header is not PE32+"
sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -qw 'DLL' || fail "DLL characteristic missing"
grep -Eq '^Name[[:space:]]+[0-9a-f]+ varnel\.dll$' <<<"$headers" || fail "export directory does not name varnel.dll"

# Name table entries ("[ i] Name") refer to export address table slots
# ("[ i] +base[ ordinal] rva ..."); the ordinal of a name is found through its slot.
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | grep -E '^\s+\[')
count=$(grep -c . <<<"$names")
[ "$count" -eq 1 ] || fail "expected exactly one named export, found $count: $names"
slot=$(sed -nE 's/^\s+\[\s*([0-9]+)\] CleanMemory$/\1/p' <<<"$names")
if [ -z "$slot" ]; then
  fail "CleanMemory is not exported by name"
else
  ordinal=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$headers" |
    sed -nE "s/^\s*\[\s*$slot\] \+base\[\s*([0-9]+)\].*/\1/p")
  [ "$ordinal" = "1" ] || fail "CleanMemory has ordinal '${ordinal}', expected 1"
  grep -Eq "^\s*\[\s*$slot\] \+base\[\s*[0-9]+\] [0-9a-f]+ Export RVA$" <<<"$headers" ||
    fail "CleanMemory is not a plain export (forwarded or missing)"
fi

# The library needs the kernel, the security functions and the C runtime; ntdll is
# reached through GetProcAddress. Anything else would be loaded into every host.
system_dlls='^(kernel32|advapi32|msvcrt|ucrtbase|api-ms-win-crt-.*)\.dll$'
imports=$(sed -nE 's/^\s*DLL Name: (.*)$/\1/p' <<<"$headers")
[ -n "$imports" ] || fail "no import table"
while read -r name; do
  [ -z "$name" ] && continue
  tr 'A-Z' 'a-z' <<<"$name" | grep -Eq "$system_dlls" || fail "imports a DLL it does not need: $name"
done <<<"$imports"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "varnel.dll: PE32+ x86-64 DLL, CleanMemory @1, imports: $(tr '\n' ' ' <<<"$imports")"
