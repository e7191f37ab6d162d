#!/usr/bin/env bash
# setup-sim.exe's PC snapshot under Wine over gui-machine.json:
#  - "/snapshot <file>" writes a machine file and ends with exit code 0; setup-sim.exe
#    over that file lists the same rows ("/list all /json") as over the original;
#  - a file that cannot be written ends with exit code 5 and an "error: " line that
#    names the file, without a box (nobody may be there to close it);
#  - the system menu's "Save PC Snapshot..." opens the standard save dialog ("Save PC
#    Snapshot"), and the file chosen there holds the same snapshot as /snapshot's.
#    The menu is opened with Alt+Space and the item reached with Up twice from the top:
#    it comes just before the last item, "Measure Polling Rate...".
# Screenshots of the system menu and the save dialog are left in the work folder.
# Usage: setup-sim-snapshot.sh <wine runner> <setup-sim.exe> <work folder> <gui-probe.exe> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-snapshot "$1" "$2" "$3" "$5"
PROBE=$4
sim_use_machine "$machine"

# /snapshot writes the file and ends.
snapshot="$work/pc-snapshot.json"
rm -f "$snapshot" "$work/menu-snapshot.json"
out=$("$runner" "$exe" /snapshot "$(wine_path "$snapshot")" 2>&1)
code=$?
check_that "/snapshot ends with exit code 0" "exit code $code: $out" test "$code" -eq 0
check_that "/snapshot writes a JSON file" "$(head -c 300 "$snapshot" 2>/dev/null)" \
  python3 -m json.tool "$snapshot" /dev/null
check_that "the file holds the machine's devices" "$(head -c 300 "$snapshot" 2>/dev/null)" \
  grep -q '"id": "USB\\\\VID_046D&PID_C08B\\\\5&1A2B3C4D&0&1"' "$snapshot"

# The snapshot opened as MORVANE_MACHINE lists what the original machine lists.
original=$("$runner" "$exe" /list all /json 2>&1)
replayed=$(MORVANE_MACHINE=$(wine_path "$snapshot") "$runner" "$exe" /list all /json 2>&1)
check_that "over its snapshot setup-sim.exe lists the same rows" "original: ${original:0:300} replayed: ${replayed:0:300}" \
  test -n "$original" -a "$original" = "$replayed"
check_that "and the rows are not empty" "${original:0:300}" grep -q '"instanceId"' <<<"$original"

# A folder that does not exist: an error line and exit code 5, no box waiting for a
# click (a box would hold the program until the time limit).
started=$(date +%s)
out=$(timeout "$(slow_int 120)" "$runner" "$exe" /snapshot 'Z:\no\such\folder\pc.json' 2>/dev/null)
code=$?
check_that "a file that cannot be written ends with exit code 5, without a box" \
  "exit code $code after $(( $(date +%s) - started )) s: $out" test "$code" -eq 5
check_that "and an error line names the file" "$out" grep -qF 'error: The PC snapshot could not be written to "Z:\no\such\folder\pc.json"' <<<"$out"

# The system menu's item: the save dialog, then the file.
sim_start
check_main_window
# The keys go to the window under the pointer: the empty head panel.
xdotool mousemove $((WIN_X + 800)) $((WIN_Y + 20)) click 1
pause 0.5
xdotool key alt+space
pause 1
xdotool key Up Up
pause 0.5
import -window root "$work/system-menu.png" 2>/dev/null || true
xdotool key Return
dialog=$(wait_window "Save PC Snapshot" 30 || true)
if [ -z "$dialog" ]; then
  check_fail "\"Save PC Snapshot...\" opens the save dialog \"Save PC Snapshot\"" "no dialog within $(slow_int 30) s"
else
  check_pass "\"Save PC Snapshot...\" opens the save dialog \"Save PC Snapshot\""
  pause 1
  import -window root "$work/save-dialog.png" 2>/dev/null || true
  # The keys go to the window under the pointer (a point of its client area, read
  # through Win32); the file name box has the focus.
  dialog_client=$(window_client "Save PC Snapshot") ||
    check_fail "the save dialog's client area is read through Win32" "gui-probe.exe client found no window"
  read -r dx dy dw dh <<<"${dialog_client:-0 0 0 0}"
  xdotool mousemove $((dx + dw / 2)) $((dy + 8))
  pause 0.3
  xdotool key ctrl+a
  xdotool type --delay 20 "$(wine_path "$work/menu-snapshot.json")"
  pause 0.3
  import -window root "$work/save-dialog-filled.png" 2>/dev/null || true
  xdotool key Return
  for _ in $(seq 1 "$(slow_int 50)"); do
    [ -s "$work/menu-snapshot.json" ] && break
    sleep 0.2
  done
  check_that "the dialog's file holds the same snapshot as /snapshot's" "$(head -c 200 "$work/menu-snapshot.json" 2>/dev/null)" \
    cmp -s "$snapshot" "$work/menu-snapshot.json"
fi
check_escape_closes 800

checks_finish
