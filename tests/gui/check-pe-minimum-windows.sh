#!/usr/bin/env bash
# Checks that a Windows image can start on the oldest Windows it is said to support,
# Windows XP SP3 for setup.exe: the PE header asks for subsystem and OS version 5.1
# or lower, and the import table names no function that XP SP3 does not export.
# The list below holds the functions that a toolchain or runtime is known to pull in
# from Vista and later (tick counts, condition variables, slim reader/writer locks,
# one-time initialisation, fiber-local storage, precise time, DPI functions).
# Usage: check-pe-minimum-windows.sh <objdump> <image> [suite]
# Exits 77 (skipped) when the image has not been built.
set -u
objdump=$1
image=$2
suite=${3:-pe-minimum-windows}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
[ -f "$image" ] || { echo "SKIP: $image is not built"; exit 77; }
checks_begin "$suite"

headers=$("$objdump" -p "$image") || { check_fail "the image can be read" "$objdump cannot read $image"; exit 1; }
field() { sed -nE "s/^$1[[:space:]]+([0-9]+).*/\1/p" <<<"$headers" | head -n1; }
at_most_5_1() {  # major minor
  [ -n "$1" ] && [ -n "$2" ] && { [ "$1" -lt 5 ] || { [ "$1" -eq 5 ] && [ "$2" -le 1 ]; }; }
}
subsystem="$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
os="$(field MajorOSystemVersion).$(field MinorOSystemVersion)"
check_that "subsystem version 5.1 or lower" "it is $subsystem" at_most_5_1 "$(field MajorSubsystemVersion)" "$(field MinorSubsystemVersion)"
check_that "OS version 5.1 or lower" "it is $os" at_most_5_1 "$(field MajorOSystemVersion)" "$(field MinorOSystemVersion)"

newer_than_xp=(
  GetTickCount64
  InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW
  WakeConditionVariable WakeAllConditionVariable
  InitializeSRWLock AcquireSRWLockExclusive AcquireSRWLockShared ReleaseSRWLockExclusive
  ReleaseSRWLockShared TryAcquireSRWLockExclusive TryAcquireSRWLockShared
  InitOnceInitialize InitOnceExecuteOnce InitOnceBeginInitialize InitOnceComplete
  GetSystemTimePreciseAsFileTime
  FlsAlloc FlsFree FlsGetValue FlsSetValue
  CreateSymbolicLinkA CreateSymbolicLinkW GetFinalPathNameByHandleA GetFinalPathNameByHandleW
  GetDpiForWindow GetDpiForSystem SetProcessDpiAwarenessContext SetThreadDpiAwarenessContext
  AdjustWindowRectExForDpi SystemParametersInfoForDpi GetSystemMetricsForDpi SetProcessDPIAware
)
# The imported names: the lines of objdump's import tables that hold a hint and a name.
imported=$(awk '/^[[:space:]]*DLL Name:/ {in_table=1; next} in_table && NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print $3}' <<<"$headers")
check_that "the import table can be read" "no imported function found" test -n "$imported"
for name in "${newer_than_xp[@]}"; do
  if grep -qx "$name" <<<"$imported"; then
    check_fail "does not import $name" "it imports $name, which Windows XP SP3 does not have"
  else
    check_pass "does not import $name"
  fi
done

if checks_finish; then
  echo "$image: starts on Windows XP SP3 (subsystem $subsystem, OS $os, no newer import)"
  exit 0
fi
echo "$image: $(checks_failed) check(s) failed"
exit 1
