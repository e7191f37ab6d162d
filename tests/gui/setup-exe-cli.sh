#!/usr/bin/env bash
# The real setup.exe's command line on Wine's own devices: an ID that matches nothing
# ends with exit code 2 and one line that says so, for /set and for /measure (which the
# program offers: not exit code 8); "/list /json" is JSON; "/version" says the project's
# version. setup.exe is a 32-bit program: where Wine cannot run 32-bit code the test is
# skipped (exit 77).
# Usage: setup-exe-cli.sh <wine runner> <setup.exe> <work folder> <project version>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
# shellcheck source=slow-lib.sh
. "$here/slow-lib.sh"
runner=$1 exe=$2 work=$3 version=$4
if [ ! -f "$exe" ]; then echo "SKIP: $exe has not been built"; exit 77; fi
if ! reason=$(bash "$here/../../scripts/probe-wine32.sh"); then echo "SKIP: $reason"; exit 77; fi
checks_begin "setup-exe-cli@${MORVANE_WINE_PREFIX_KIND:-wow64}"
mkdir -p "$work"
list="$work/list.json"
timeout "$(slow_int 600)" "$runner" "$exe" /list /json > "$list"
check_that "/list /json on Wine's devices is JSON" "$(head -c 300 "$list")" python3 -m json.tool "$list" /dev/null
out=$(timeout "$(slow_int 600)" "$runner" "$exe" /set 'USB\VID_FFFF&PID_FFFF\*' /filter on)
code=$?
check_that "an ID that matches nothing ends with exit code 2" "exit code $code: $out" test "$code" -eq 2
check_that "and says so in one line" "$out" grep -q '^error: no present USB device' <<<"$out"
out=$(timeout "$(slow_int 600)" "$runner" "$exe" /measure 'USB\VID_FFFF&PID_FFFF\*' /seconds 1)
code=$?
check_that "/measure of an ID that matches no mouse ends with exit code 2" "exit code $code: $out" test "$code" -eq 2
check_that "and says so in one line" "$out" grep -q '^error: no present USB device with a mouse matches' <<<"$out"
said=$(timeout "$(slow_int 600)" "$runner" "$exe" /version)
code=$?
said=${said//$'\r'/}
check_that "/version says MORVANE Setup $version and ends with 0" "exit code $code: $said" \
  test "$code" -eq 0 -a "$said" = "MORVANE Setup $version"
checks_finish
