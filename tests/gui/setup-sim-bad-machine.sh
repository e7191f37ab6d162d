#!/usr/bin/env bash
# setup-sim.exe with a machine file that cannot be loaded: an error box titled
# "MORVANE Setup" appears (the loader's message names the place in the file), no
# main window opens, and after the box is closed the program ends with exit code 2.
# Usage: setup-sim-bad-machine.sh <wine runner> <setup-sim.exe> <work folder>
set -u
runner=$1
exe=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
checks_begin setup-sim-bad-machine
mkdir -p "$work"
bad="$work/bad-machine.json"
printf '{"devices": [{"id": "HTREE\\\\ROOT\\\\0", "colour": 1}]}\n' >"$bad"
export MORVANE_MACHINE
MORVANE_MACHINE=$(wine_path "$bad")

"$runner" "$exe" &
pid=$!
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; checks_on_exit' EXIT
if ! box=$(wait_window "MORVANE Setup" 90); then
  check_fail "an error box titled \"MORVANE Setup\" appears" "none within 90 s"
  exit 1
fi
check_pass "an error box titled \"MORVANE Setup\" appears"
import -window root "$work/bad-machine.png"
if xdotool search --onlyvisible --name "^USB Devices Rate Setup\$" >/dev/null 2>&1; then
  check_fail "no main window on a bad machine file" "the main window opened"
else
  check_pass "no main window on a bad machine file"
fi
check_that "Return closes the error box" "the box is still open" answer_box "$box" Return
code=""
for _ in $(seq 1 50); do
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"
    code=$?
    pid=""
    break
  fi
  sleep 0.2
done
if [ -z "$code" ]; then
  check_fail "the program ends with exit code 2 after the box" "it is still running"
else
  check_that "the program ends with exit code 2 after the box" "exit code $code" test "$code" -eq 2
fi
checks_finish && echo "bad machine file: error box shown, exit code $code"
