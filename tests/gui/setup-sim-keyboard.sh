#!/usr/bin/env bash
# setup-sim.exe /mice over gui-machine.json worked with the keyboard alone: Tab reaches
# the grid, the arrows move its current row; Tab and Space put the filter on the gaming
# mouse, the arrows choose its rate, Space on "Restart" restarts it and on "Copy IDs"
# copies its IDs; Ctrl+D, Ctrl+M and Ctrl+S open the system menu's items (the
# diagnosis, the rate meter, whose figures a screen reader reads as static texts
# (acc-probe.exe) and whose Ctrl+S saves its intervals, the snapshot's save dialog)
# without the menu; Escape ends
# the program, and the simulated registry holds the filter and the rate.
# The pointer only rests on the window: without a window manager, X gives the keys to
# the window under it. It never clicks.
# Usage: setup-sim-keyboard.sh <wine runner> <setup-sim.exe> <work folder> <gui-probe.exe> <machine file> <acc-probe.exe>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-keyboard "$1" "$2" "$3" "$5"
PROBE=$4
acc_exe=$6
gaming='USB\VID_046D&PID_C08B\5&1A2B3C4D&0&1'
sim_use_machine "$machine"
sim_start /mice
check_main_window
rest_on_window() { xdotool mousemove $((WIN_X + 800)) $((WIN_Y + 20)); pause 0.3; }
rest_on_window

# Presses Tab until the focus is on the control "$2" (the start of what focused()
# prints: class and id); the check $1 fails when ten presses do not get there.
tab_to() {
  local name=$1 want=$2 now="" _
  for _ in $(seq 1 10); do
    now=$(focused)
    [[ $now == "$want"* ]] && break
    xdotool key Tab
    pause 0.3
  done
  now=$(focused)
  check_that "$name" "the focus is on \"$now\"" test "${now#"$want"}" != "$now"
}

tab_to "Tab reaches the grid" "MorvaneGrid 103"
xdotool key Down
pause 0.3
xdotool key Up
pause 0.3
tab_to "Tab reaches \"Filter On Device\"" "Button 105 Filter On Device"
xdotool key space
asked=$(answer_questions_yes 2)
check_that "Space puts the filter on the gaming mouse without a question" "$asked question(s) came" test "$asked" -eq 0
rest_on_window
tab_to "Tab reaches the rate box" "ComboBox 106"
xdotool key Down
pause 0.5
xdotool key Down
pause 0.5
asked=$(answer_questions_yes 2)
check_that "the arrows choose a rate without a question" "$asked question(s) came" test "$asked" -eq 0
rest_on_window
tab_to "Tab reaches \"Restart\"" "Button 109 Restart"
xdotool key space
# The mouse came back: "Keep these settings?" is answered with its key, O.
if keep=$(wait_window "Keep these settings\\?" 20); then
  check_that "O keeps the settings after the restart" "the box is still open" answer_box "$keep" o
else
  check_fail "O keeps the settings after the restart" "no box \"Keep these settings?\""
fi
# The rate was changed and kept: the offer to measure the mouse is declined with N.
if box=$(wait_window " Information" 10); then
  check_that "N declines the offer to measure" "the box is still open" answer_box "$box" n
else
  check_fail "a kept rate change offers to measure the mouse" "no \" Information\" box"
fi
pause 2
rest_on_window
tab_to "Tab reaches \"Copy IDs\"" "Button 110 Copy IDs"
xdotool key space
pause 1
copied=$(probe clipboard)
check_that "Space on \"Copy IDs\" copies the gaming mouse's IDs" "the clipboard holds \"${copied:0:200}\"" \
  grep -qF "$gaming" <<<"$copied"

# The key $1 opens the window titled $2 (a pattern; $3 names it in the checks), which
# the key $4 then closes.
key_opens_and_closes() {
  local key=$1 pattern=$2 name=$3 close=$4 id
  xdotool key "$key"
  if id=$(wait_window "$pattern" 20); then
    check_pass "$key opens \"$name\""
    answer_box "$id" "$close" || check_fail "$close closes \"$name\"" "it is still open"
  else
    check_fail "$key opens \"$name\"" "no such window"
  fi
}

# The system menu's items by their keys.
key_opens_and_closes ctrl+d "Why Is The Filter Not Active\\?" "Why Is The Filter Not Active?" Return
rest_on_window
rest_on_window
xdotool key ctrl+m
meter_title='Polling Rate - USB Composite Device - Gaming Mouse'
if meter=$(wait_window "$meter_title" 20); then
  check_pass "Ctrl+M opens the rate meter of the current device"
  pause 1
  texts=$("$runner" "$acc_exe" texts "$meter_title" 2>/dev/null | tr -d '\r')
  check_that "a screen reader reads the meter's figures" "it read: ${texts:0:300}" \
    grep -q '^Rate' <<<"$texts"
  read -r mx my _ _ < <(window_geometry "$meter")
  xdotool mousemove $((mx + 10)) $((my + 10))
  pause 0.5
  # In the unframed prefix Wine takes no shortcut key after a program's first file
  # dialog has closed (seen with the two in either order, a click does not help); the
  # framed prefix, the one like Windows, checks both dialogs.
  if [ "${MORVANE_WINE_PREFIX_KIND:-win64}" != win64 ]; then
    key_opens_and_closes ctrl+s "Save The Intervals" "Save The Intervals" Escape
  fi
  xdotool mousemove $((mx + 10)) $((my + 10))
  pause 0.5
  xdotool key Escape
  for _ in $(seq 1 "$(slow_int 20)"); do sleep 0.5; visible "$meter" || break; done
  check_that "Escape closes the meter" "it is still open" test -z "$(xdotool search --onlyvisible --name "^$meter_title\$" 2>/dev/null)"
else
  check_fail "Ctrl+M opens the rate meter of the current device" "no window \"$meter_title\""
fi

rest_on_window
key_opens_and_closes ctrl+s "Save PC Snapshot" "Save PC Snapshot" Escape
rest_on_window
xdotool key Escape
sim_wait_exit
check_exit_code "Escape ends the program with exit code 0" 0
check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})
value = {k.lower(): v for k, v in (gaming.get("driverKey") or {}).items()}.get("binterval")
check("the registry holds the filter", [f.lower() for f in gaming.get("lowerFilters", [])[:1]] == ["morvane"],
      gaming.get("lowerFilters"))
check("the registry holds the rate chosen with two Down keys (500: interval 2)",
      value == {"type": "REG_DWORD", "value": 2}, value)
check("the grid shows the restarted device with the filter and the rate", grid[1][1:3] == ["Yes", "500"], grid[1:2])
PY
checks_finish
