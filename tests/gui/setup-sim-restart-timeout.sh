#!/usr/bin/env bash
# setup-sim.exe over gui-machine.json without the helper program TALON64.EXE in the
# current directory: "Restart" starts nothing, so no device change comes; the device
# controls stay disabled until, 10 seconds later, the error box " Error!!!" says the
# device did not restart. After OK the controls work again (the filter can be put on),
# the list was not rebuilt, and Escape ends the program with exit code 0.
# Usage: setup-sim-restart-timeout.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-restart-timeout "$@"
helperless="$work/machine-without-helper.json"
python3 - "$machine" "$helperless" <<'PY'
import json, sys
machine = json.load(open(sys.argv[1]))
machine["files"] = [f for f in machine.get("files", []) if not f["path"].upper().endswith("\\TALON64.EXE")]
json.dump(machine, open(sys.argv[2], "w"), indent=1)
PY
sim_use_machine "$helperless"
sim_start /mice
check_main_window
pointer_away 1.5
foot_y=322
# "Restart" and "Copy IDs" as drawn, enabled or disabled.
buttons() {
  import -window root "$work/$1.png"
  convert "$work/$1.png" -crop "196x24+$((WIN_X + 400))+$((WIN_Y + foot_y + 8))" +repage "$work/buttons-$1.png"
}
same() { same_image "$work/buttons-$1.png" "$work/buttons-$2.png"; }
different() { ! same "$@"; }
buttons start

click_at $((400 + 45)) $((foot_y + 20))
started=$SECONDS
pointer_away 1
buttons waiting
check_that "the device controls are disabled during the restart wait" "\"Restart\" and \"Copy IDs\" look as before" \
  different start waiting
if box=$(wait_window " Error!!!" 20); then
  waited=$((SECONDS - started))
  check_pass "the error box comes when no device change arrives"
  # The program's own 10 seconds, and up to 3 more (times MORVANE_SLOW) until it shows.
  check_that "it comes after the 10-second wait" "after $waited s" test "$waited" -ge 9 -a "$waited" -le $((10 + $(slow_int 3)))
  import -window root "$work/error.png"
  check_that "OK closes the error box" "the box is still open" answer_box "$box" Return
else
  check_fail "the error box comes when no device change arrives" "no \" Error!!!\" box within $(slow_int 20) s"
fi
pointer_away 0.5
buttons after
check_that "the device controls are enabled again" "\"Restart\" and \"Copy IDs\" still look disabled" \
  different waiting after
# The controls work: the filter goes on for the gaming mouse (no question for it).
click_at 12 $((foot_y + 19))
asked=$(answer_questions_yes 2)
check_that "the filter goes on after the error box without a question" "$asked question(s) came" test "$asked" -eq 0

check_escape_closes 800

check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})

row = grid[1] if len(grid) > 1 else []
print("grid at the end:", grid)
check("the filter set after the error box is in the registry",
      [f.lower() for f in gaming.get("lowerFilters", [])[:1]] == ["morvane"], "LowerFilters %r" % gaming.get("lowerFilters"))
check("the grid shows it", row[1:2] == ["Yes"], "row 1 drew %r" % row)
check("the device was not restarted: its pipes keep their intervals", row[3:4] == ["1 - 8"], "row 1 drew %r" % row)
PY

checks_finish
