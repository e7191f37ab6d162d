#!/usr/bin/env bash
# The window with an empty list ("Keyboards": the machine has none), so that the grid,
# "Filter On Device", the rate box, "Restart" and "Copy IDs" are disabled:
#   - each of them shows its hint when the pointer rests on it (a disabled control
#     gets no mouse messages of its own);
#   - "Install Service" without the helper program TALON64.EXE beside the program (a
#     64-bit system) shows the error box "MORVANE Setup" with the system's text for
#     the failed start;
#   - after that box, and after another program was the active one, the focus is on
#     "Install Service" again;
#   - Escape ends the program with exit code 0.
# Runs setup-sim.exe over a machine file (whose helper program is taken out), or any
# program of this window without one (setup.exe on a machine without USB keyboards).
# Usage: window-without-devices.sh <wine runner> <program> <work folder> <gui-probe.exe> [<machine file>]
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin window-without-devices "$1" "$2" "$3" "${5:-}"
PROBE=$4
if [ -n "$machine" ]; then
  helperless="$work/machine-without-helper.json"
  python3 - "$machine" "$helperless" <<'PY'
import json, sys
machine = json.load(open(sys.argv[1]))
machine["system"]["wow64"] = True
machine["files"] = [f for f in machine.get("files", []) if not f["path"].upper().endswith("\\TALON64.EXE")]
json.dump(machine, open(sys.argv[2], "w"), indent=1)
PY
  machine=$helperless
fi
# The program's current folder holds no TALON64.EXE.
cd "$work" || exit 1
program_start /keyboards
check_main_window

foot_y=342  # the middle of the foot panel's buttons
check_hint() {
  local name=$1 x=$2 y=$3 expected=$4 shown
  shown=$(hint_at "$x" "$y")
  check_that "the hint of $name shows" "the hint shown is \"$shown\"" test "$shown" = "$expected"
}
check_hint "the disabled grid" 300 150 "Select device to process"
check_hint "the disabled \"Filter On Device\"" 40 "$foot_y" "To (un)install MORVANE filter on selected device (un)check this box."
check_hint "the disabled rate box" 150 "$foot_y" "Pick desired rate"
check_hint "the disabled \"Restart\"" 445 "$foot_y" "Restart device so the registry changes take place."
check_hint "the disabled \"Copy IDs\"" 551 "$foot_y" "Copy Device And Controller IDs to Clipboard."
# An enabled control keeps its hint too.
check_hint "the enabled \"Install Service\"" 339 "$foot_y" \
  "Copy driver files and install driver service (need MORVANE.INF to be in current directory)."

# From the category box Tab skips the disabled controls to "Install Service"; Space
# presses it.
click_at 700 20
first=$(focused)
check_that "the category box has the focus at start" "the focus is on \"$first\"" \
  test "$first" = "ComboBox 101 Keyboards"
xdotool key Tab
pause 0.4
before=$(focused)
check_that "Tab moves the focus past the disabled controls to \"Install Service\"" "the focus is on \"$before\"" \
  test "$before" = "Button 108 Install Service"
xdotool key space
box=""
for _ in $(seq 1 "$(slow_int 20)"); do
  if probe box "MORVANE Setup" >"$work/box.txt" 2>/dev/null && [ -s "$work/box.txt" ]; then box=1; break; fi
  sleep 0.5
done
if [ -z "$box" ]; then
  check_fail "the failed helper start shows an error box" "no box \"MORVANE Setup\" within $(slow_int 10) s"
else
  text=$(cat "$work/box.txt")
  echo "error box: $text"
  if [ -n "$machine" ]; then
    check_that "the error box gives the system's text for the missing helper" "it says \"$text\"" \
      test "$text" = "Win32 Error.  Code: 2.
The system cannot find the file specified"
  else
    check_that "the error box gives the system's text for the failed start" "it says \"$text\"" \
      grep -qE '^Win32 Error\.  Code: [0-9]+\.$' <<<"$(head -n1 <<<"$text")"
    check_that "the system's text follows the code" "nothing follows the code" test "$(wc -l <<<"$text")" -ge 2
  fi
  boxid=$(xdotool search --onlyvisible --name '^MORVANE Setup$' | while read -r id; do
            read -r _ _ w _ < <(window_geometry "$id"); [ "$w" -gt 20 ] && echo "$id"; done | head -n1)
  if [ -n "$boxid" ] && answer_box "$boxid" Return; then
    check_pass "the error box closes with OK"
  else
    check_fail "the error box closes with OK" "it is still open"
  fi
  after=$(focus_becomes "Button 108 Install Service")
  check_that "after the error box the focus is on \"Install Service\" again" "it is on \"$after\"" \
    test "$after" = "Button 108 Install Service"
fi

other=$(probe activate-other "$(slow_int 1500)")
echo "another program's window: $other"
click_at 700 20  # the empty head panel: activates the window without moving the focus
after=$(focus_becomes "Button 108 Install Service")
check_that "after another program was active the focus is on \"Install Service\" again" "it is on \"$after\"" \
  test "$after" = "Button 108 Install Service"

check_escape_closes 700
checks_finish
