#!/usr/bin/env bash
# The rate meter belongs to the device that sends the reports, over the built-in
# machine whose optical mouse (below the hub) plays 125 reports per second: a double
# click on the hub's row opens "Polling Rate - Generic USB Hub" expecting the mouse's
# 125, not the hub's own interval; a double click on the mouse's own row then brings
# that same meter forward under the mouse's name (no second meter, and the hub's
# caption gone); the state file holds what it drew last.
# Usage: setup-sim-rate-meter-rows.sh <wine runner> <setup-sim.exe> <work folder>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-rate-meter-rows "$@"
optical='USB\VID_0461&PID_4D81\7&3B9C1D2E&0&1'
hub_title='Polling Rate - Generic USB Hub'
mouse_title='Polling Rate - USB Input Device - USB Optical Mouse'

dump="$work/state.json"
rm -f "$dump"
export MORVANE_MACHINE="" MORVANE_RAW_INPUT="125:$optical"
MORVANE_MACHINE_DUMP=$(wine_path "$dump")
export MORVANE_MACHINE_DUMP
sim_start /mice
check_main_window
pointer_away 1

# Rows of "Mice": the gaming mouse, the hub, the optical mouse; 22 pixels each.
row_y() { echo $((WIN_Y + 38 + 22 * $1 + 10)); }
xdotool mousemove $((WIN_X + 100)) "$(row_y 2)" click --repeat 2 --delay 80 1
if wait_window "$hub_title" 20 >/dev/null; then
  check_pass "a double click on the hub's row opens its meter"
else
  check_fail "a double click on the hub's row opens its meter" "no window \"$hub_title\""
  exit 1
fi
sleep 2  # counted: the mouse's reports of two seconds
xdotool mousemove $((WIN_X + 100)) "$(row_y 3)" click --repeat 2 --delay 80 1
if wait_window "$mouse_title" 20 >/dev/null; then
  check_pass "a double click on the mouse's row brings the meter forward under the mouse's name"
else
  check_fail "a double click on the mouse's row brings the meter forward under the mouse's name" \
    "no window \"$mouse_title\""
fi
hub_left=$(xdotool search --onlyvisible --name "^$hub_title\$" 2>/dev/null | wc -l)
meters=$(xdotool search --onlyvisible --name "^Polling Rate - " 2>/dev/null | wc -l)
check_that "one meter, the hub's caption gone" "$meters meter(s), $hub_left with the hub's caption" \
  test "$meters" -eq 1 -a "$hub_left" -eq 0
sleep 1
xdotool key Escape
for _ in $(seq 1 "$(slow_int 20)"); do
  sleep 0.5
  xdotool search --onlyvisible --name "^Polling Rate - " >/dev/null 2>&1 || break
done
check_escape_closes 600
check_state_file <<'PY'
import re
meter = state.get("meter", [])
check("the state file holds the meter's nine texts", len(meter) == 9, meter)
if len(meter) == 9:
    check("the meter is the mouse's", meter[0] == "Polling Rate - USB Input Device - USB Optical Mouse", meter[0])
    check("it expects the mouse's own 125, not the hub's interval", meter[2] == "Expected: 125 reports/s", meter[2])
    m = re.fullmatch(r"Rate: (\d+) reports/s", meter[1])
    check("it measured the mouse's 125 reports/s", m is not None and abs(int(m.group(1)) - 125) <= 2, meter[1])
    check("the measurement went on through the reopening",
          re.fullmatch(r"Reports: (\d+)", meter[4]) is not None and int(meter[4].split()[1]) >= 3 * 125, meter[4])
    # The verdict names the rate measured, which may miss 125 by a report or two as the Rate line may.
    v = re.fullmatch(r"Reaches (\d+) reports/s, as the device asks\.", meter[7])
    check("the verdict says the device's own rate is reached", v is not None and abs(int(v.group(1)) - 125) <= 2,
          meter[7])
PY
checks_finish
