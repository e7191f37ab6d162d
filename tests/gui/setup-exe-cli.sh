#!/usr/bin/env bash
# The real setup.exe's command line on Wine's own devices: an ID that matches nothing
# ends with exit code 2 and one line that says so; "/list /json" is JSON. setup.exe is
# a 32-bit program: where Wine cannot run 32-bit code the test is skipped (exit 77).
# Usage: setup-exe-cli.sh <wine runner> <setup.exe> <work folder>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
checks_begin setup-exe-cli
runner=$1 exe=$2 work=$3
mkdir -p "$work"
if [ ! -f "$exe" ]; then echo "SKIP: $exe has not been built"; exit 77; fi
probe=$(timeout 30 "$runner" "$exe" /list /json 2>&1)
status=$?
if [ "$status" -ne 0 ] && ! grep -q '"version"' <<<"$probe"; then
  echo "SKIP: this Wine cannot run the 32-bit setup.exe (exit $status${probe:+: $(head -1 <<<"$probe")})"
  exit 77
fi
list="$work/list.json"
timeout 60 "$runner" "$exe" /list /json > "$list"
check_that "/list /json on Wine's devices is JSON" "$(head -c 300 "$list")" python3 -m json.tool "$list" /dev/null
out=$(timeout 60 "$runner" "$exe" /set 'USB\VID_FFFF&PID_FFFF\*' /filter on)
code=$?
check_that "an ID that matches nothing ends with exit code 2" "exit code $code: $out" test "$code" -eq 2
check_that "and says so in one line" "$out" grep -q '^error: no present USB device' <<<"$out"
checks_finish
