#!/usr/bin/env bash
# setup-sim.exe over gui-machine.json without the helper program TALON64.EXE in the
# current directory: "Restart" starts nothing, so no device change comes; the device
# controls stay disabled until, 10 seconds later, the error box " Error!!!" says the
# device did not restart. After OK the controls work again (the filter can be put on),
# the list was not rebuilt, and Escape ends the program with exit code 0.
# Usage: setup-sim-restart-timeout.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
runner=$1
exe=$2
work=$3
machine=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
checks_begin setup-sim-restart-timeout

mkdir -p "$work"
dump="$work/state.json"
helperless="$work/machine-without-helper.json"
rm -f "$dump" "$work"/*.png
python3 - "$machine" "$helperless" <<'PY'
import json, sys
machine = json.load(open(sys.argv[1]))
machine["files"] = [f for f in machine.get("files", []) if not f["path"].upper().endswith("\\TALON64.EXE")]
json.dump(machine, open(sys.argv[2], "w"), indent=1)
PY
export MORVANE_MACHINE_DUMP MORVANE_MACHINE
MORVANE_MACHINE_DUMP=$(wine_path "$dump")
MORVANE_MACHINE=$(wine_path "$helperless")

"$runner" "$exe" /mice &
pid=$!
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; return 0; }
trap 'cleanup; checks_on_exit' EXIT

if ! wid=$(wait_window "USB Devices Rate Setup" 90); then
  check_fail "the window appears" "no window \"USB Devices Rate Setup\" within 90 s"
  exit 1
fi
check_pass "the window appears"
read -r WIN_X WIN_Y _ _ < <(window_geometry "$wid")
xdotool mousemove 0 0
sleep 1.5
foot_y=322
# "Restart" and "Copy IDs" as drawn, enabled or disabled.
buttons() {
  import -window root "$work/$1.png"
  convert "$work/$1.png" -crop "196x24+$((WIN_X + 400))+$((WIN_Y + foot_y + 8))" +repage "$work/buttons-$1.png"
}
same() { [ "$(compare -metric AE "$work/buttons-$1.png" "$work/buttons-$2.png" null: 2>&1)" = "0" ]; }
different() { ! same "$@"; }
buttons start

click_at $((400 + 45)) $((foot_y + 20))
started=$SECONDS
xdotool mousemove 0 0
sleep 1
buttons waiting
check_that "the device controls are disabled during the restart wait" "\"Restart\" and \"Copy IDs\" look as before" \
  different start waiting
if box=$(wait_window " Error!!!" 20); then
  waited=$((SECONDS - started))
  check_pass "the error box comes when no device change arrives"
  check_that "it comes after the 10-second wait" "after $waited s" test "$waited" -ge 9 -a "$waited" -le 13
  import -window root "$work/error.png"
  check_that "OK closes the error box" "the box is still open" answer_box "$box" Return
else
  check_fail "the error box comes when no device change arrives" "no \" Error!!!\" box within 20 s"
fi
xdotool mousemove 0 0
sleep 0.5
buttons after
check_that "the device controls are enabled again" "\"Restart\" and \"Copy IDs\" still look disabled" \
  different waiting after
# The controls work: the filter goes on for the gaming mouse (no question for it).
click_at 12 $((foot_y + 19))
asked=$(answer_questions_yes 2)
check_that "the filter goes on after the error box without a question" "$asked question(s) came" test "$asked" -eq 0

click_at 800 20
xdotool key Escape
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
  check_fail "Escape ends the program with exit code 0" "the program is still running"
else
  check_that "Escape ends the program with exit code 0" "exit code $code" test "$code" -eq 0
fi

if [ ! -s "$dump" ]; then
  check_fail "the machine's state is written at the end" "no $dump"
else
  check_pass "the machine's state is written at the end"
  while IFS= read -r line; do
    case "$line" in
      "ok "*) check_pass "${line#ok }" ;;
      "FAIL "*) rest=${line#FAIL }; check_fail "${rest%%: *}" "${rest#*: }" ;;
      *) echo "$line" ;;
    esac
  done < <(python3 - "$dump" <<'PY'
import json, sys
state = json.load(open(sys.argv[1]))
grid = state["grid"]
devices = {d["instanceId"]: d for d in state["devices"]}
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})

def check(name, ok, message):
    print(("ok " + name) if ok else ("FAIL %s: %s" % (name, message)))

row = grid[1] if len(grid) > 1 else []
print("grid at the end:", grid)
check("the filter set after the error box is in the registry",
      [f.lower() for f in gaming.get("lowerFilters", [])[:1]] == ["morvane"], "LowerFilters %r" % gaming.get("lowerFilters"))
check("the grid shows it", row[1:2] == ["Yes"], "row 1 drew %r" % row)
check("the device was not restarted: its pipes keep their intervals", row[3:4] == ["1 - 8"], "row 1 drew %r" % row)
PY
)
fi

checks_finish
