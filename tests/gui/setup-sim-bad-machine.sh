#!/usr/bin/env bash
# setup-sim.exe with a machine file that cannot be loaded: an error box titled
# "MORVANE Setup" appears (the loader's message names the place in the file), no
# main window opens, and after the box is closed the program ends with exit code 2.
# Usage: setup-sim-bad-machine.sh <wine runner> <setup-sim.exe> <work folder>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-bad-machine "$@"
bad="$work/bad-machine.json"
printf '{"devices": [{"id": "HTREE\\\\ROOT\\\\0", "colour": 1}]}\n' >"$bad"
export MORVANE_MACHINE
MORVANE_MACHINE=$(wine_path "$bad")

sim_start
if ! box=$(wait_window "MORVANE Setup" 90); then
  check_fail "an error box titled \"MORVANE Setup\" appears" "none within $(slow_int 90) s"
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
sim_wait_exit
check_exit_code "the program ends with exit code 2 after the box" 2 "it is still running"
checks_finish && echo "bad machine file: error box shown, exit code $SIM_CODE"
