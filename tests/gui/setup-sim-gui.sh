#!/usr/bin/env bash
# setup-sim.exe driven like a user on an X display, over gui-machine.json (a full-speed
# gaming mouse with interrupt pipes and a low-speed mouse with a problem, both behind
# an xHCI controller): the window is found where it belongs, a screenshot shows the
# grid with its title row and tinted rows; for the mouse with the problem the filter
# brings up the warning and an overclocking rate the overclocking question, both
# declined; the filter is put on the gaming mouse, a rate chosen and the device
# restarted; after the settling the grid shows "Yes", the rate and the new interval,
# the simulated registry holds them, and Escape ends the program with exit code 0.
# Usage: setup-sim-gui.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-gui "$@"
sim_use_machine "$machine"
sim_start /mice
check_main_window
read -r SCREEN_W SCREEN_H < <(xdotool getdisplaygeometry)
echo "window $WID at $WIN_X,$WIN_Y, $WIN_W x $WIN_H on $SCREEN_W x $SCREEN_H"
check_that "client area 960 x 360" "it is ${WIN_W} x ${WIN_H}" test "$WIN_W" -eq 960 -a "$WIN_H" -eq 360
# Centred: the frame is as wide on both sides; above, the caption adds a few pixels.
centre_y=$((WIN_Y + WIN_H / 2 - SCREEN_H / 2))
check_that "centred on the screen" "client area at $WIN_X,$WIN_Y" \
  test $((2 * WIN_X + WIN_W - SCREEN_W)) -ge -1 -a $((2 * WIN_X + WIN_W - SCREEN_W)) -le 1 -a \
       "$centre_y" -ge 0 -a "$centre_y" -le 16
pointer_away 1.5  # no hint over the grid

# Client coordinates: the grid lies below the 38-pixel head panel, inside a 2-pixel
# edge; rows are 21 pixels high plus a one-pixel line, the title row first. Column 1
# ("Filter?") starts 229 pixels in. The foot panel starts at 322.
grid_x=2
grid_y=$((38 + 2))
row_y() { echo $((grid_y + 22 * $1)); }
col1_x=$((grid_x + 229))
foot_y=322
shot() { import -window root "$work/$1.png"; }
at() { pixel "$work/$1.png" $((WIN_X + $2)) $((WIN_Y + $3)); }
# The check box's square, compared between screenshots.
check_box() {
  convert "$work/$1.png" -crop "14x14+$((WIN_X + 8))+$((WIN_Y + foot_y + 12))" +repage "$work/box-$1.png"
}
same_box() { same_image "$work/box-$1.png" "$work/box-$2.png"; }
different_box() { ! same_box "$@"; }

shot start
panel=$(at start 700 20)
title=$(at start $((grid_x + 150)) $((grid_y + 2)))
empty=$(at start 600 $((foot_y - 6)))
green=$(at start $((col1_x + 28)) $(($(row_y 1) + 18)))
red=$(at start $((col1_x + 28)) $(($(row_y 2) + 18)))
current=$(at start $((grid_x + 200)) $(($(row_y 1) + 18)))
echo "panel $panel, title $title, empty grid $empty, row 1 $green, row 2 $red, current cell $current"
check_that "the title row is in the panels' button-face colour" "title row $title, panel $panel" test "$title" = "$panel"
check_that "the title row is set off from the cells" "both are $title" test "$title" != "$empty"
check_that "a device with interrupt pipes is tinted light green" "row 1 is $green" test "$green" = "204 255 204"
check_that "a device with a problem is tinted light red" "row 2 is $red" test "$red" = "255 204 204"
check_that "the current cell keeps the selection colours" "it is $current" \
  test "$current" != "204 255 204" -a "$current" != "$empty"
check_box start

# The mouse with the problem: the filter asks " Warning !!!" first; No leaves the box clear.
click_at $((col1_x + 15)) $(($(row_y 2) + 10))
click_at 12 $((foot_y + 19))
if box=$(wait_window " Warning !!!" 10); then
  check_pass "the filter for a device with a problem asks first"
  check_that "No closes the question" "the box is still open" answer_box "$box" n
else
  check_fail "the filter for a device with a problem asks first" "no \" Warning !!!\" box"
fi
pointer_away 0.5
shot declined
check_box declined
check_that "a declined question leaves the check box clear" "the box differs from the start" same_box start declined
# The same mouse is low-speed: "1000 *", the first rate item, is overclocking and asks
# " Information" (Yes by default); No keeps the rate.
click_at $((112 + 45)) $((foot_y + 18))
xdotool key Down Return
if box=$(wait_window " Information" 10); then
  check_pass "an overclocking rate for a low-speed device asks first"
  check_that "No closes the overclocking question" "the box is still open" answer_box "$box" n
else
  check_fail "an overclocking rate for a low-speed device asks first" "no \" Information\" box"
fi

# The gaming mouse: the service runs, the device is healthy behind a known
# controller, so the filter goes on without a question.
click_at $((col1_x + 15)) $(($(row_y 1) + 10))
click_at 12 $((foot_y + 19))
asked=$(answer_questions_yes 2)
check_that "the filter for a healthy device asks nothing" "$asked question(s) came" test "$asked" -eq 0
# The second rate of a full-speed device ("500"): the list opens, two steps down, Enter.
click_at $((112 + 45)) $((foot_y + 18))
xdotool key Down Down Return
pause 0.5
asked=$(answer_questions_yes 2)
check_that "a rate for a full-speed device asks nothing" "$asked question(s) came" test "$asked" -eq 0
pointer_away 0.5
shot changed
check_box changed
check_that "the check box shows the filter" "the box looks as at the start" different_box start changed

# Restart: the simulated helper restarts the device, which goes away and comes back;
# one second after the last device change the list is rebuilt.
click_at $((400 + 45)) $((foot_y + 20))
pause 4
pointer_away 0.5
shot restarted
# The mouse was changed and restarted: "Keep these settings?" counts down; OK (its
# key "o") keeps them; the focus starts on "Revert", which no answer also chooses.
box_gone() { ! visible "$1"; }
keep=$(xdotool search --onlyvisible --name '^Keep these settings\?$' 2>/dev/null | head -n1 || true)
check_that "\"Keep these settings?\" comes after the restart" "no such box" test -n "$keep"
if [ -n "$keep" ]; then
  answer_box "$keep" o || true
  check_that "OK closes it" "the box is still there" box_gone "$keep"
fi
# The rate was changed and kept: measuring the mouse is offered; No opens nothing.
if box=$(wait_window " Information" 10); then
  shot measure-offer
  check_that "No closes the offer to measure" "the box is still open" answer_box "$box" n
else
  check_fail "a kept rate change offers to measure the mouse" "no \" Information\" box"
fi
pointer_away 0.5

# Escape closes (after a click on the empty head panel gives the window the keys).
check_escape_closes 800

check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})
optical = devices.get("USB\\VID_1BCF&PID_0005\\5&1A2B3C4D&0&2", {})

def cell(row, col):
    return grid[row][col] if row < len(grid) and col < len(grid[row]) else None

def value(device, name):
    key = device.get("driverKey") or {}
    return {k.lower(): v for k, v in key.items()}.get(name.lower())

print("grid after the restart:", grid)
check("the grid's titles", grid[:1] == [["Device Name", "Filter?", "Rate", "bInterval", "Child Name(s)",
                                         "Controller Name"]], "row 0 drew %r" % (grid[:1],))
filters = gaming.get("lowerFilters", [])
check("the registry holds the filter first in the device's lower filters",
      [f.lower() for f in filters[:1]] == ["morvane"], "LowerFilters %r" % filters)
check("the registry holds the rate as the device's interval", value(gaming, "bInterval") == {"type": "REG_DWORD", "value": 2},
      "bInterval %r" % value(gaming, "bInterval"))
check("the grid shows \"Yes\" and the rate after the settling", [cell(1, 1), cell(1, 2)] == ["Yes", "500"],
      "row 1 drew %r" % (grid[1:2],))
check("the restarted device came back at the new interval", cell(1, 3) == "2",
      "bInterval column %r (it was \"1 - 8\" before the restart)" % cell(1, 3))
check("the declined device is unchanged: no filter, no rate", optical.get("lowerFilters") == []
      and value(optical, "bInterval") is None and [cell(2, 1), cell(2, 2)] == ["No", "Default"],
      "%r, row 2 drew %r" % (optical, grid[2:3]))
PY

checks_finish setup-sim-gui
status=$?
[ $status -eq 0 ] && echo "setup-sim.exe driven: filter, rate and restart shown and stored; screenshots in $work" ||
  echo "$(checks_failed) check(s) failed; screenshots in $work"
exit $status
