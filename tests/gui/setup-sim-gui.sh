#!/usr/bin/env bash
# setup-sim.exe driven like a user on an X display: the window is found, a
# screenshot shows the grid with its title row and tinted rows; the filter is put on
# the first mouse (question boxes answered Yes), a rate chosen, the device restarted;
# after the settling the grid shows "Yes" and the rate, the simulated registry holds
# them, and Escape ends the program with exit code 0.
# Usage: setup-sim-gui.sh <wine runner> <setup-sim.exe> <work folder> [machine file]
set -u
runner=$1
exe=$2
work=$3
machine=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"

mkdir -p "$work"
dump="$work/state.json"
rm -f "$dump" "$work"/*.png
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

export MORVANE_MACHINE_DUMP
MORVANE_MACHINE_DUMP=$(wine_path "$dump")
if [ -n "$machine" ]; then
  export MORVANE_MACHINE
  MORVANE_MACHINE=$(wine_path "$machine")
fi

"$runner" "$exe" /mice &
pid=$!
cleanup() { kill "$pid" 2>/dev/null || true; }
trap cleanup EXIT

wid=$(wait_window "USB Devices Rate Setup" 90) || { echo "FAIL: the window did not appear"; exit 1; }
read -r WIN_X WIN_Y WIN_W WIN_H < <(window_geometry "$wid")
echo "window $wid at $WIN_X,$WIN_Y, $WIN_W x $WIN_H"
[ "$WIN_W" -eq 960 ] && [ "$WIN_H" -eq 360 ] || fail "client area is ${WIN_W}x${WIN_H}, expected 960x360"
xdotool mousemove 0 0  # no hint over the grid
sleep 1.5

# The grid lies below the 38-pixel head panel, inside a 2-pixel edge; rows are 21
# pixels and one line high, the title row first. Column 1 ("Filter?") starts at 229.
grid_y=$((38 + 2))
row_y() { echo $((grid_y + 22 * $1)); }
shot="$work/start.png"
import -window root "$shot"
ox=$WIN_X oy=$WIN_Y
panel=$(pixel "$shot" $((ox + 700)) $((oy + 20)))
title=$(pixel "$shot" $((ox + 2 + 150)) $((oy + grid_y + 2)))
white=$(pixel "$shot" $((ox + 600)) $((oy + WIN_H - 38 - 6)))
echo "panel $panel, title $title, empty grid area $white"
[ "$title" = "$panel" ] || fail "the title row ($title) is not in the button-face colour of the panels ($panel)"
[ "$title" != "$white" ] || fail "the title row is not set off from the cells"
# Light green for devices with interrupt pipes, light red for a device with a problem:
# look along the "Filter?" column below its text, skipping the current cell's row.
tinted=0
for row in 1 2 3 4 5 6 7 8; do
  colour=$(pixel "$shot" $((ox + 2 + 229 + 28)) $(($(row_y "$row") + oy + 18)))
  case "$colour" in
    "204 255 204"|"255 204 204") tinted=$((tinted + 1)) ;;
  esac
done
[ "$tinted" -ge 1 ] || fail "no tinted row in the grid"
echo "tinted rows: $tinted"

# The first mouse is the current row. The filter on, every question answered Yes.
click_at 12 $((322 + 19))
asked=$(answer_questions_yes 2)
echo "questions answered for the filter: $asked"
# The second rate: the list opens, two steps down, Enter.
click_at $((112 + 45)) $((322 + 18))
xdotool key Down Down Return
sleep 0.5
asked=$(answer_questions_yes 2)
echo "questions answered for the rate: $asked"
import -window root "$work/changed.png"
# Restart; the simulated device goes away and comes back, one second of settling.
click_at $((400 + 45)) $((322 + 20))
sleep 4
answer_questions_yes 1 >/dev/null
import -window root "$work/restarted.png"
# Escape closes (after a click on the empty head panel gives the window the keys).
click_at 800 20
xdotool key Escape
code=""
for _ in $(seq 1 50); do
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"
    code=$?
    break
  fi
  sleep 0.2
done
trap - EXIT
if [ -z "$code" ]; then
  fail "Escape did not close the program"
  cleanup
elif [ "$code" -ne 0 ]; then
  fail "exit code $code, expected 0"
fi

[ -s "$dump" ] || { fail "no machine state written to $dump"; echo "$failures failure(s)"; exit 1; }
python3 - "$dump" <<'PY' || failures=$((failures + 1))
import json, sys
state = json.load(open(sys.argv[1]))
grid = state["grid"]
problems = []
def cell(row, col):
    return grid[row][col] if row < len(grid) and col < len(grid[row]) else None
if cell(0, 0) != "Device Name" or cell(0, 5) != "Controller Name":
    problems.append("titles drawn: %r" % (grid[0] if grid else None))
filtered = [d for d in state["devices"] if "morvane" in [f.lower() for f in d["lowerFilters"]]]
if len(filtered) != 1:
    problems.append("expected one device with the filter, found %d" % len(filtered))
else:
    device = filtered[0]
    key = device.get("driverKey") or {}
    value = {k.lower(): v for k, v in key.items()}.get("binterval")
    if value != {"type": "REG_DWORD", "value": 2}:
        problems.append("%s: bInterval is %r, expected REG_DWORD 2" % (device["instanceId"], value))
    if device["lowerFilters"][0].lower() != "morvane":
        problems.append("the filter is not first in LowerFilters: %r" % device["lowerFilters"])
if cell(1, 1) != "Yes":
    problems.append("the grid's Filter? cell of the device shows %r" % cell(1, 1))
rate = cell(1, 2)
if rate not in ("500", "4000"):
    problems.append("the grid's Rate cell of the device shows %r" % rate)
for p in problems:
    print("FAIL:", p, file=sys.stderr)
print("device row after the restart:", grid[1] if len(grid) > 1 else None)
sys.exit(1 if problems else 0)
PY

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s); screenshots in $work"
  exit 1
fi
echo "setup-sim.exe driven: filter, rate and restart shown and stored; screenshots in $work"
