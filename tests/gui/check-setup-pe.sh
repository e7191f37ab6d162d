#!/usr/bin/env bash
# Checks the built setup.exe: a 32-bit (PE32, i386) Windows GUI program that
# imports only system DLLs, with a version resource and an embedded manifest that
# asks for administrator rights, Common Controls 6.0.0.0, per-monitor DPI awareness
# ("True/PM") and names the X86 architecture and assembly version 1.0.0.0.
# Usage: check-setup-pe.sh <objdump> <windres> <setup.exe>
# Exits 77 (skipped) when the file has not been built.
set -u
objdump=$1
windres=$2
exe=$3
[ -f "$exe" ] || { echo "SKIP: $exe is not built (build the win32 preset first)"; exit 77; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

headers=$("$objdump" -p "$exe") || { echo "FAIL: $objdump cannot read $exe" >&2; exit 1; }
grep -q 'file format pei-i386' <<<"$headers" || fail "not a pei-i386 image"
grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers" || fail "optional header is not PE32"
grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' <<<"$headers" || fail "subsystem is not Windows GUI"

system_dlls='^(ADVAPI32|CFGMGR32|COMCTL32|COMDLG32|GDI32|KERNEL32|MSVCRT|OLE32|OLEAUT32|SETUPAPI|SHELL32|USER32|VERSION|NTDLL|WS2_32)\.DLL$'
imports=$(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$headers")
[ -n "$imports" ] || fail "no imports found"
while read -r dll; do
  [ -z "$dll" ] && continue
  upper=$(tr '[:lower:]' '[:upper:]' <<<"$dll")
  grep -Eq "$system_dlls" <<<"$upper" || fail "imports a DLL that is not a system DLL: $dll"
done <<<"$imports"

resources=$("$windres" -i "$exe" -O rc 2>/dev/null) || { echo "FAIL: $windres cannot read the resources" >&2; exit 1; }
grep -Eq '^1 VERSIONINFO' <<<"$resources" || fail "no version resource"
grep -Eq '^ FILEVERSION 1, 0, 0, 0' <<<"$resources" || fail "file version is not 1.0.0.0"

# The manifest (type 24, id 1) as one line of XML.
manifest=$(sed -n '/^1 24 /,/^END/p' <<<"$resources" | sed -nE 's/^[[:space:]]*"(.*)"$/\1/p' |
  sed -e 's/\\n$//' -e 's/""/"/g' | tr '\n' ' ')
[ -n "$manifest" ] || fail "no manifest with id 1"
has() { grep -Eq "$1" <<<"$manifest" || fail "manifest lacks: $2"; }
has '<requestedExecutionLevel[^>]* level="requireAdministrator"' 'execution level "requireAdministrator"'
has '<requestedExecutionLevel[^>]* uiAccess="false"' 'uiAccess="false"'
has '<dependentAssembly>[[:space:]]*<assemblyIdentity[^>]* name="Microsoft.Windows.Common-Controls"[^>]* version="6.0.0.0"' \
  'a dependency on Common Controls 6.0.0.0'
has '<dpiAware[^>]*>True/PM</dpiAware>' 'DPI awareness "True/PM"'
has '^[^<]*<\?xml[^>]*>[[:space:]]*<assembly[^>]*>[[:space:]]*<assemblyIdentity[^>]* version="1.0.0.0"[^>]* processorArchitecture="X86"' \
  'the program'"'"'s own identity with version 1.0.0.0 and architecture X86'

if [ "$failures" -ne 0 ]; then
  echo "$exe: $failures check(s) failed"
  exit 1
fi
echo "$exe: PE32 i386 GUI, system imports only ($(tr '\n' ' ' <<<"$imports")), manifest and version resource as required"
