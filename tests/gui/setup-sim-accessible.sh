#!/usr/bin/env bash
# The device grid of setup-sim.exe over the built-in PC, read from another process
# as a screen reader reads it (acc-probe.exe, Active Accessibility): in the "All"
# category the table has the title row and one row per device of `/list all /json`,
# every cell named by its column's title with the text of that column as its value;
# after two Down keys the table reports the third row selected; and moving the
# selection and rebuilding the list (another category) raise the selection, focus and
# reorder events.
# Usage: setup-sim-accessible.sh <wine runner> <setup-sim.exe> <work folder> <gui-probe.exe> <acc-probe.exe>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-accessible "$1" "$2" "$3"
PROBE=$4
acc_exe=$5
title="USB Devices Rate Setup"
acc() { "$runner" "$acc_exe" "$@" 2>/dev/null | tr -d '\r'; }
export MORVANE_MACHINE=""
dump="$work/state.json"
rm -f "$dump"
MORVANE_MACHINE_DUMP=$(wine_path "$dump")
export MORVANE_MACHINE_DUMP

timeout "$(slow_int 120)" "$runner" "$exe" /list all /json | tr -d '\r' >"$work/list.json"
sim_start /all
check_main_window
pointer_away 1
acc grid "$title" >"$work/start.txt"
check_that "the grid's object is read from another process" "$(head -c 300 "$work/start.txt")" \
  grep -q '^rows [0-9]' "$work/start.txt"

# Every cell against the command line's list of the same machine.
compare() {
  python3 - "$work/list.json" "$1" "$2" <<'PY'
import json, sys
devices = json.load(open(sys.argv[1]))["devices"]
lines = open(sys.argv[2]).read().splitlines()
selected_expected = int(sys.argv[3])
titles = ["Device Name", "Filter?", "Rate", "bInterval", "Child Name(s)", "Controller Name"]
rows = {}
cells = {}
selection = None
count = None
for line in lines:
    if line.startswith("rows "):
        count = int(line.split()[1])
    elif line.startswith("row "):
        head, states, name = line.split("\t")
        rows[int(head.split()[1])] = (states, name)
    elif line.startswith("cell "):
        head, name, value = line.split("\t")
        _, r, c = head.split()
        cells[(int(r), int(c))] = (name, value)
    elif line.startswith("selection "):
        selection = line.split()[1]
def check(name, ok, message):
    print(("ok " + name) if ok else ("FAIL %s\t%s" % (name, message)))
check("the table has the title row and one row per device (%d)" % len(devices), count == len(devices) + 1,
      "rows %r" % count)
check("the title row's cells are the column titles", all(cells.get((0, c)) == (t, t) for c, t in enumerate(titles)),
      [cells.get((0, c)) for c in range(6)])
wrong = []
for i, d in enumerate(devices, start=1):
    want = [d["name"], "Yes" if d["filter"] else "No", d["rate"], d["bInterval"], d["children"], d["controller"]]
    got = [cells.get((i, c)) for c in range(6)]
    if got != [(t, w) for t, w in zip(titles, want)]:
        wrong.append((i, got, want))
    if rows.get(i, ("", ""))[1] != d["name"]:
        wrong.append((i, "row name", rows.get(i)))
check("every cell is named by its column and holds that column's text", not wrong, wrong[:3])
check("the table reports row %d selected" % selected_expected, selection == str(selected_expected),
      "selection %r" % selection)
marked = [r for r, (states, _) in rows.items() if "selected" in states.split(",")]
check("and only that row is marked selected", marked == [selected_expected], marked)
PY
}
# The checks compare prints, named after $1.
report() {
  local when=$1 line rest
  while IFS= read -r line; do
    case "$line" in
      "ok "*) check_pass "$when: ${line#ok }" ;;
      "FAIL "*) rest=${line#FAIL }; check_fail "$when: ${rest%%$'\t'*}" "${rest#*$'\t'}" ;;
    esac
  done
}
report start < <(compare "$work/start.txt" 1)

# The selection moves with the keys; a reader listening hears of it.
"$runner" "$acc_exe" events "$title" "$(slow_int 12)000" >"$work/events.txt" 2>/dev/null &
listener=$!
for _ in $(seq 1 "$(slow_int 50)"); do grep -q '^ready' "$work/events.txt" 2>/dev/null && break; sleep 0.2; done
click_at 100 $((40 + 22 + 10))
xdotool key Down Down
pause 1
acc grid "$title" >"$work/moved.txt"
report "after two Down keys" < <(compare "$work/moved.txt" 3)
# Another category rebuilds the list: Shift+Tab to the category box, Up to "USB".
xdotool key shift+Tab
pause 0.5
xdotool key Up
pause 2
wait "$listener"
events=$(tr -d '\r' <"$work/events.txt")
echo "$events"
check_that "a move raises a selection event for the row" "$events" grep -qx 'event selection 4' <<<"$events"
check_that "a move with the focus in the grid raises a focus event" "$events" grep -qx 'event focus 4' <<<"$events"
check_that "a rebuilt list raises a reorder event" "$events" grep -qx 'event reorder 0' <<<"$events"

check_escape_closes 800
checks_finish
