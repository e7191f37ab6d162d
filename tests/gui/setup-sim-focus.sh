#!/usr/bin/env bash
# setup-sim.exe /mice over gui-machine.json: the keyboard focus stays where the user
# left it.
#   - "Filter On Device" reached with Tab and pressed with Space for the mouse with a
#     problem asks its question; after No the focus is on "Filter On Device" again.
#   - "Restart" for the gaming mouse disables the device controls (the focus goes on
#     to "Close" meanwhile); once the list is rebuilt the focus is on "Restart" again.
#   - After another program was the active one, the grid has the focus again.
# Usage: setup-sim-focus.sh <wine runner> <setup-sim.exe> <work folder> <gui-probe.exe> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-focus "$1" "$2" "$3" "$5"
PROBE=$4
sim_use_machine "$machine"
sim_start /mice
check_main_window
pointer_away 1

row_y() { echo $((38 + 2 + 22 * $1 + 10)); }  # client y of grid row $1 at 96 pixels per inch

# The mouse with the problem is row 2.
click_at 300 "$(row_y 2)"
xdotool key Tab
pause 0.4
before=$(focused)
check_that "Tab from the grid focuses \"Filter On Device\"" "the focus is on \"$before\"" \
  test "$before" = "Button 105 Filter On Device"
xdotool key space
if box=$(wait_window " Warning !!!" 10); then
  question=$(probe box " Warning !!!")
  check_that "the question for the device with a problem comes" "it asks \"$question\"" \
    test "$question" = "It is not good idea to set up filter for device with problem, continue Setup?"
  answer_box "$box" n || true
  after=$(focus_becomes "$before")
  check_that "after the question the focus is on \"Filter On Device\" again" "it is on \"$after\"" \
    test "$after" = "$before"
else
  check_fail "the question for the device with a problem comes" "no box \" Warning !!!\" within $(slow_int 10) s"
fi

# The gaming mouse (row 1), then "Restart".
click_at 300 "$(row_y 1)"
# The focus is watched from before the click until the list has been rebuilt.
probe watch-focus "USB Devices Rate Setup" "$(slow_int 9000)" >"$work/focus.txt" &
watcher=$!
pause 2
click_at 445 342
wait "$watcher"
echo "the focus during the restart: $(tr '\n' ';' <"$work/focus.txt")"
sequence=$(grep -v '^none$' "$work/focus.txt" | tr '\n' ';')
check_that "while the device controls are disabled the focus goes to \"Close\"" "it went: $sequence" \
  grep -q "Button 111 Close;" <<<"$sequence"
check_that "once the list is rebuilt the focus is on \"Restart\" again" "it went: $sequence" \
  test "${sequence##*Button 111 Close;}" = "Button 109 Restart;"

click_at 300 "$(row_y 1)"
grid=$(focused)
check_that "a click on a row focuses the grid" "the focus is on \"$grid\"" test "$grid" = "MorvaneGrid 103 "
other=$(probe activate-other "$(slow_int 1500)")
echo "another program's window: $other"
click_at 700 20
after=$(focus_becomes "$grid")
check_that "after another program was active the grid has the focus again" "it is on \"$after\"" \
  test "$after" = "$grid"

check_escape_closes 700
check_state_file <<'PY'
gaming = devices["USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1"]
problem = devices["USB\\VID_1BCF&PID_0005\\5&1A2B3C4D&0&2"]
check("the declined filter was not put on", problem["lowerFilters"] == [], str(problem["lowerFilters"]))
check("the grid shows both mice after the restart", grid[1][0].endswith("Gaming Mouse") and grid[2][0] == "Optical Mouse",
      str(grid[1:3]))
PY
checks_finish
