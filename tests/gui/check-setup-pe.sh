#!/usr/bin/env bash
# Checks the built setup.exe: a 32-bit (PE32, i386) Windows GUI program that
# imports only system DLLs, with a version resource and an embedded manifest that
# asks for administrator rights, Common Controls 6.0.0.0, per-monitor DPI awareness
# ("True/PM") and names the X86 architecture and assembly version 1.0.0.0.
# Usage: check-setup-pe.sh <objdump> <windres> <setup.exe>
# Exits 77 (skipped) when the file has not been built; prints "FAIL: <check>: ..." for
# each check that does not hold and exits 1 then.
set -u
objdump=$1
windres=$2
exe=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
[ -f "$exe" ] || { echo "SKIP: $exe is not built (build the win32 preset first)"; exit 77; }
checks_begin setup-exe-pe

headers=$("$objdump" -p "$exe") || { check_fail "the image can be read" "$objdump cannot read $exe"; exit 1; }
matches() { grep -Eq "$1" <<<"$2"; }
check_that "a pei-i386 image" "it is $(sed -nE 's/.*file format (.*)/\1/p' <<<"$headers" | head -n1)" \
  matches 'file format pei-i386' "$headers"
check_that "a PE32 optional header" "$(grep -E '^Magic' <<<"$headers")" \
  matches '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' "$headers"
check_that "the Windows GUI subsystem" "$(grep -E '^Subsystem' <<<"$headers")" \
  matches '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' "$headers"

system_dlls='^(ADVAPI32|CFGMGR32|COMCTL32|COMDLG32|GDI32|KERNEL32|MSVCRT|OLE32|OLEACC|OLEAUT32|SETUPAPI|SHELL32|USER32|VERSION|NTDLL|WS2_32)\.DLL$'
imports=$(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$headers")
others=""
while read -r dll; do
  [ -z "$dll" ] && continue
  upper=$(tr '[:lower:]' '[:upper:]' <<<"$dll")
  grep -Eq "$system_dlls" <<<"$upper" || others="$others $dll"
done <<<"$imports"
if [ -z "$imports" ]; then
  check_fail "imports only system DLLs" "no imports found"
else
  check_that "imports only system DLLs" "it also imports$others" test -z "$others"
fi

resources=$("$windres" -i "$exe" -O rc 2>/dev/null) ||
  { check_fail "the resources can be read" "$windres cannot read the resources"; exit 1; }
check_that "a version resource" "none with id 1" matches '^1 VERSIONINFO' "$resources"
check_that "file version 1.0.0.0" "$(grep -E '^ FILEVERSION' <<<"$resources")" matches '^ FILEVERSION 1, 0, 0, 0' "$resources"

# The manifest (type 24, id 1) as one line of XML.
manifest=$(sed -n '/^1 24 /,/^END/p' <<<"$resources" | sed -nE 's/^[[:space:]]*"(.*)"$/\1/p' |
  sed -e 's/\\n$//' -e 's/""/"/g' | tr '\n' ' ')
check_that "a manifest with id 1" "none found" test -n "$manifest"
has() { check_that "manifest: $2" "not in the manifest" matches "$1" "$manifest"; }
has '<requestedExecutionLevel[^>]* level="requireAdministrator"' 'execution level "requireAdministrator"'
has '<requestedExecutionLevel[^>]* uiAccess="false"' 'uiAccess="false"'
has '<dependentAssembly>[[:space:]]*<assemblyIdentity[^>]* name="Microsoft.Windows.Common-Controls"[^>]* version="6.0.0.0"' \
  'a dependency on Common Controls 6.0.0.0'
has '<dpiAware[^>]*>True/PM</dpiAware>' 'DPI awareness "True/PM"'
has '^[^<]*<\?xml[^>]*>[[:space:]]*<assembly[^>]*>[[:space:]]*<assemblyIdentity[^>]* version="1.0.0.0"[^>]* processorArchitecture="X86"' \
  'the program'"'"'s own identity with version 1.0.0.0 and architecture X86'

if checks_finish; then
  echo "$exe: PE32 i386 GUI, system imports only ($(tr '\n' ' ' <<<"$imports")), manifest and version resource as required"
  exit 0
fi
echo "$exe: $(checks_failed) check(s) failed"
exit 1
