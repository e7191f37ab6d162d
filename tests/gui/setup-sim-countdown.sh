#!/usr/bin/env bash
# setup-sim.exe over gui-machine.json: the filter is put on the gaming mouse and the
# mouse restarted; "Keep these settings?" counts down, nobody answers, and after its 15
# seconds the box is gone, the filter is put back, the mouse restarted again and a box
# says so; the state file shows the mouse's lower filters without the filter and the
# journal's three entries (the change, and the put-back).
# Usage: setup-sim-countdown.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-countdown "$@"
sim_use_machine "$machine"
sim_start /mice
check_main_window
pointer_away 1.5
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
shot() { import -window root "$work/$1.png"; }
box_gone() { ! visible "$1"; }

# The filter on the gaming mouse (no question: the service runs, the device is healthy).
click_at $((col1_x + 15)) $(($(row_y 1) + 10))
click_at 12 $((foot_y + 19))
answer_questions_yes 2 >/dev/null
pointer_away 0.5
shot filter-on
# Restart: the mouse goes and comes back; the question counts down.
click_at $((400 + 45)) $((foot_y + 20))
pause 4
pointer_away 0.5
shot countdown
keep=$(xdotool search --onlyvisible --name '^Keep these settings\?$' 2>/dev/null | head -n1 || true)
check_that "\"Keep these settings?\" counts down after the restart" "no such box" test -n "$keep"
# Nobody answers.
pause 18
shot put-back
[ -n "$keep" ] && check_that "the box goes by itself when its seconds have run out" "it is still there" box_gone "$keep"
told=$(xdotool search --onlyvisible --name '^ Settings put back$' 2>/dev/null | head -n1 || true)
check_that "a box says the settings were put back" "no such box" test -n "$told"
[ -n "$told" ] && answer_box "$told" Return
pause 3
check_escape_closes 800

check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})
filters = gaming.get("lowerFilters", [])
journal = state.get("journal") or []
print("gaming mouse's lower filters after:", filters)
print("journal:", journal)
check("no answer put the filter back off", [f for f in filters if f.lower() == "morvane"] == [], "LowerFilters %r" % filters)
check("the grid shows \"No\" again", len(grid) > 1 and len(grid[1]) > 1 and grid[1][1] == "No", "row 1 drew %r" % (grid[1:2],))
check("the journal holds the change and the put-back, both done",
      len(journal) == 3 and "window: filter on" in journal[1] and "window: undo" in journal[2]
      and all("\tdone\t" in line for line in journal[1:]), "journal %r" % journal)
PY
checks_finish setup-sim-countdown
status=$?
[ $status -eq 0 ] && echo "setup-sim.exe: no answer within the countdown put the filter back; screenshots in $work" ||
  echo "$(checks_failed) check(s) failed; screenshots in $work"
exit $status
