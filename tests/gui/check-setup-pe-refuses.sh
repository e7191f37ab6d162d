#!/usr/bin/env bash
# check-setup-pe.sh must refuse a program that is not setup.exe, for the right
# reasons: setup-sim.exe is a 64-bit image (PE32+, x86-64) whose manifest asks for no
# elevation and names the amd64 architecture, and each of these checks must say so.
# Usage: check-setup-pe-refuses.sh <objdump> <windres> <setup-sim.exe>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
checks_begin setup-exe-pe-refuses-other

output=$(MORVANE_JUNIT="" bash "$here/check-setup-pe.sh" "$@" 2>&1)
code=$?
echo "$output"
check_that "the check fails on setup-sim.exe" "exit code $code, expected 1" test "$code" -eq 1
said() { grep -Fq "FAIL: $1:" <<<"$output"; }
not_said() { ! said "$1"; }
for check in "a pei-i386 image" "a PE32 optional header" 'manifest: execution level "requireAdministrator"' \
             "manifest: the program's own identity with version 1.0.0.0 and architecture X86"; do
  check_that "refused: $check" "check-setup-pe.sh did not fail \"$check\"" said "$check"
done
# What setup-sim.exe shares with setup.exe is not refused: the checks are read, not guessed.
for check in "the Windows GUI subsystem" "imports only system DLLs" "manifest: a dependency on Common Controls 6.0.0.0"; do
  check_that "accepted: $check" "check-setup-pe.sh failed \"$check\" on setup-sim.exe" not_said "$check"
done
checks_finish
