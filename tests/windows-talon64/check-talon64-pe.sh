#!/usr/bin/env bash
# Checks the built TALON64.EXE: a PE32+ x86-64 program for the Windows GUI subsystem,
# so that starting it from the window opens no console.
# Usage: check-talon64-pe.sh <objdump> <TALON64.EXE>
set -u
objdump=$1
exe=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

headers=$("$objdump" -p "$exe") || { echo "FAIL: $objdump cannot read $exe" >&2; exit 1; }
grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a pei-x86-64 image"
grep -Eq '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)' <<<"$headers" || fail "optional header is not PE32+"
subsystem=$(sed -nE 's/^Subsystem[[:space:]]+(.*)$/\1/p' <<<"$headers")
grep -Eq '^0+2[[:space:]]+\(Windows GUI\)$' <<<"$subsystem" || fail "subsystem is '$subsystem', expected 2 (Windows GUI)"
sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -qw 'DLL' && fail "built as a DLL"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "TALON64.EXE: PE32+ x86-64, subsystem $subsystem"
