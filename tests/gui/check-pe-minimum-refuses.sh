#!/usr/bin/env bash
# check-pe-minimum-windows.sh must refuse an image that imports a function newer than
# Windows XP: the win32 preset's test build of setup.exe, whose posix-thread runtime
# (winpthreads) imports GetTickCount64. Its other checks must hold there.
# Usage: check-pe-minimum-refuses.sh <objdump> <image>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
[ -f "$2" ] || { echo "SKIP: $2 is not built (build the win32 preset first)"; exit 77; }
checks_begin setup-exe-windows-xp-refuses-newer
output=$(MORVANE_JUNIT="" bash "$here/check-pe-minimum-windows.sh" "$1" "$2" 2>&1)
code=$?
echo "$output"
check_that "the check fails on the posix-thread build" "exit code $code, expected 1" test "$code" -eq 1
check_that "refused: it imports GetTickCount64" "GetTickCount64 was not named" \
  grep -Fq "FAIL: does not import GetTickCount64:" <<<"$output"
check_that "accepted: the subsystem version" "the subsystem version was refused" \
  eval '! grep -Fq "FAIL: subsystem version" <<<"$output"'
checks_finish
