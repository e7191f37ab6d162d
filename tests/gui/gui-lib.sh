# Shell helpers for driving setup-sim.exe under Wine on an X display: finding
# windows, clicking at client coordinates, answering question boxes, reading pixels
# of a screenshot; starting setup-sim.exe, finding its window and collecting its exit
# code, with the checks these steps record (checks-lib.sh, sourced here too). Sourced
# by run.sh and the GUI tests.
#
# Where a window's client area lies on the screen is asked from Win32 (gui-probe.exe
# client, run in the program's own prefix): the X window holds the frame too when Wine
# draws it (its X11 driver's "Managed" set to N), and only the client area without one.
# xdotool finds X windows and gives the input. Every wait is multiplied by MORVANE_SLOW
# (slow-lib.sh).

# shellcheck source=checks-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/checks-lib.sh"
# shellcheck source=slow-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/slow-lib.sh"

# Windows paths for Wine (its drive Z: is the Unix root).
wine_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

# The X window id of a window with exactly this title, waiting up to $2 seconds (times
# MORVANE_SLOW).
wait_window() {
  local title=$1 seconds=${2:-60} id=""
  local deadline=$((SECONDS + $(slow_int "$seconds")))
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.3
  done
  return 1
}

# "X Y W H" of an X window on the screen: with the frame when Wine draws one. For
# where to point inside a window; client coordinates come from window_client.
window_geometry() {
  local out
  out=$(xdotool getwindowgeometry "$1") || return 1
  local pos size
  pos=$(sed -nE 's/.*Position: ([0-9-]+),([0-9-]+).*/\1 \2/p' <<<"$out")
  size=$(sed -nE 's/.*Geometry: ([0-9]+)x([0-9]+).*/\1 \2/p' <<<"$out")
  echo "$pos $size"
}

# gui-probe.exe (tests/gui/gui-probe.cpp) run under Wine in the program's prefix: PROBE,
# or else MORVANE_GUI_PROBE, names it.
probe() {
  local exe=${PROBE:-${MORVANE_GUI_PROBE:-}}
  if [ -z "$exe" ]; then
    echo "gui-lib: no gui-probe.exe (PROBE or MORVANE_GUI_PROBE)" >&2
    return 2
  fi
  "$runner" "$exe" "$@" 2>/dev/null | tr -d '\r'
}

# "X Y W H" of the client area of the visible window titled $1, from Win32: its origin
# on the screen and its size. Asked again for up to 5 seconds (times MORVANE_SLOW)
# while the window is not found; fails then.
window_client() {
  local out="" deadline=$((SECONDS + $(slow_int 5)))
  while :; do
    out=$(probe client "$1")
    if [[ $out =~ ^-?[0-9]+\ -?[0-9]+\ [0-9]+\ [0-9]+$ ]]; then
      echo "$out"
      return 0
    fi
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.3
  done
}

# Clicks at client coordinates (x, y) of the window whose client area is in WIN_X/WIN_Y.
click_at() {
  xdotool mousemove $((WIN_X + $1)) $((WIN_Y + $2)) click 1
  pause 0.4
}

# True while the X window $1 is mapped.
visible() { xdotool search --onlyvisible --name '.*' 2>/dev/null | grep -qx "$1"; }

# Answers the message box (X window id $1) with the key $2, the mnemonic of a button
# ("y" for Yes, "n" for No, Return for the default one), and waits until it has gone.
# Without a window manager the keys go to the window under the pointer, so the pointer
# rests on the box's corner first (away from its buttons); and the first key after a
# box appears can be lost under Wine, so the key is given again while the box stays.
# Fails when the box is still there after four keys.
answer_box() {
  local id=$1 key=$2 try bx by
  read -r bx by _ _ < <(window_geometry "$id")
  xdotool mousemove $((bx + 4)) $((by + 4))
  pause 0.2
  for try in 1 2 3 4; do
    xdotool key "$key"
    pause 0.7
    visible "$id" || return 0
  done
  return 1
}

# Answers Yes to every question box (" Warning !!!", " Information") that appears
# within $1 seconds (times MORVANE_SLOW) of quiet; echoes how many were answered.
answer_questions_yes() {
  local quiet answered=0 id
  quiet=$(slow_int "${1:-2}")
  local deadline=$((SECONDS + quiet))
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name '^ (Warning !!!|Information)$' 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      answer_box "$id" y || true
      answered=$((answered + 1))
      deadline=$((SECONDS + quiet))
    else
      sleep 0.3
    fi
  done
  echo "$answered"
}

# "R G B" of one pixel of an image.
pixel() {
  convert "$1" -crop "1x1+$2+$3" +repage -depth 8 txt:- | sed -nE '2s/.*\(([0-9]+),([0-9]+),([0-9]+).*/\1 \2 \3/p'
}

# True when the images $1 and $2 have no pixel that differs.
same_image() { [ "$(compare -metric AE "$1" "$2" null: 2>&1)" = "0" ]; }

# Moves the pointer to the screen's corner (so that no hint covers the controls) and
# waits $1 seconds (times MORVANE_SLOW).
pointer_away() {
  xdotool mousemove 0 0
  pause "${1:-0.5}"
}

# The start of a setup-sim.exe test:
#   sim_test_begin SUITE <wine runner> <setup-sim.exe> <work folder> [<machine file>]
# sets runner, exe, work and machine, reports the checks as SUITE, makes the work
# folder, and on exit ends the program (if it still runs) and writes the report.
# shellcheck disable=SC2034  # the variables are the test script's
sim_test_begin() {
  # A program run in a 32-bit prefix needs 32-bit Wine: skipped (77) where it cannot run.
  case "${MORVANE_WINE_PREFIX_KIND:-win64}" in
    wow64 | x86)
      local reason
      reason=$(bash "$(dirname "${BASH_SOURCE[0]}")/../../scripts/probe-wine32.sh") || { echo "SKIP: $reason"; exit 77; }
      ;;
  esac
  checks_begin "$1"
  runner=$2
  exe=$3
  work=$4
  machine=${5:-}
  SIM_PID=""
  mkdir -p "$work"
  trap 'sim_kill; checks_on_exit' EXIT
}

# The program runs over the machine file $1 and writes its state to dump
# ($work/state.json) when it ends; the state and screenshots of an earlier run are removed.
sim_use_machine() {
  dump="$work/state.json"
  rm -f "$dump" "$work"/*.png
  export MORVANE_MACHINE_DUMP MORVANE_MACHINE
  MORVANE_MACHINE_DUMP=$(wine_path "$dump")
  MORVANE_MACHINE=$(wine_path "$1")
}

# Starts "$runner" "$exe" with the arguments given, in the background; its pid in SIM_PID.
sim_start() {
  "$runner" "$exe" "$@" &
  SIM_PID=$!
}

# Ends the program started by sim_start if it still runs.
sim_kill() {
  [ -n "${SIM_PID:-}" ] && kill "$SIM_PID" 2>/dev/null
  return 0
}

# The main window within $1 seconds (90 by default, times MORVANE_SLOW): its X id in
# WID, its client area on the screen (window_client) in WIN_X WIN_Y WIN_W WIN_H. Fails
# when it does not appear or its client area cannot be read.
# shellcheck disable=SC2034  # WIN_W and WIN_H are the test script's
sim_find_window() {
  WID=$(wait_window "USB Devices Rate Setup" "${1:-90}") || return 1
  local client
  client=$(window_client "USB Devices Rate Setup") || return 1
  read -r WIN_X WIN_Y WIN_W WIN_H <<<"$client"
}

# The check "the window appears" (sim_find_window); the test ends without the window.
check_main_window() {
  if ! sim_find_window 90; then
    # What the screen holds instead, for the report: the titles of the mapped windows
    # and a screenshot.
    local shown
    shown=$(xdotool search --onlyvisible --name '.*' 2>/dev/null | while read -r id; do
              printf '"%s" ' "$(xdotool getwindowname "$id" 2>/dev/null)"; done)
    import -window root "$work/no-main-window.png" 2>/dev/null
    check_fail "the window appears" \
      "no window \"USB Devices Rate Setup\" within $(slow_int 90) s, or its client area could not be read; on the screen: ${shown:-no window} (no-main-window.png)"
    exit 1
  fi
  check_pass "the window appears"
}

# Waits up to 10 seconds (times MORVANE_SLOW) for the program started by sim_start to
# end: its exit code in SIM_CODE, which stays empty (and the call fails) while it still
# runs.
sim_wait_exit() {
  local _
  SIM_CODE=""
  for _ in $(seq 1 "$(slow_int 50)"); do
    if ! kill -0 "$SIM_PID" 2>/dev/null; then
      wait "$SIM_PID"
      SIM_CODE=$?
      SIM_PID=""
      return 0
    fi
    sleep 0.2
  done
  return 1
}

# The check NAME: the program ended (sim_wait_exit) with exit code $2; $3 is the
# message when it still runs.
check_exit_code() {
  local name=$1 expected=$2 running=${3:-the program is still running}
  if [ -z "$SIM_CODE" ]; then
    check_fail "$name" "$running"
  else
    check_that "$name" "exit code $SIM_CODE" test "$SIM_CODE" -eq "$expected"
  fi
}

# Escape closes the main window, after a click on the empty head panel at x $1 has
# given it the keys; checks "Escape ends the program with exit code 0" ($2: the message
# when it still runs).
check_escape_closes() {
  click_at "$1" 20
  xdotool key Escape
  sim_wait_exit
  check_exit_code "Escape ends the program with exit code 0" 0 "${2:-the program is still running}"
}

# Checks "the machine's state is written at the end" (the file $dump is not empty);
# then runs the Python script on standard input over it, after lines that load the
# state (state, grid, devices by instance id) and define check(name, ok, message).
# Each line it prints "ok <name>" or "FAIL <name><tab><message>" becomes a check (a
# name may hold ": " itself); other lines are shown.
state_prelude='import json, sys
state = json.load(open(sys.argv[1]))
grid = state["grid"]
devices = {d["instanceId"]: d for d in state["devices"]}

def check(name, ok, message):
    print(("ok " + name) if ok else ("FAIL %s\t%s" % (name, message)))
'
check_state_file() {
  local script line rest
  script=$(cat)
  if [ ! -s "$dump" ]; then
    check_fail "the machine's state is written at the end" "no $dump"
    return 0
  fi
  check_pass "the machine's state is written at the end"
  while IFS= read -r line; do
    case "$line" in
      "ok "*) check_pass "${line#ok }" ;;
      "FAIL "*) rest=${line#FAIL }; check_fail "${rest%%$'\t'*}" "${rest#*$'\t'}" ;;
      *) echo "$line" ;;
    esac
  done < <(python3 -c "$state_prelude
$script" "$dump")
}

# The control with the keyboard focus of the main window: "<class> <id> <text>".
focused() { probe focus "USB Devices Rate Setup"; }

# The program under test and its category argument: setup-sim.exe over a machine
# file when one is given, else the program alone (setup.exe, which sees the real
# machine).
program_start() {
  if [ -n "$machine" ]; then sim_use_machine "$machine"; else dump="$work/state.json"; fi
  sim_start "$@"
}

# The hint shown once the pointer rests on client point ($1, $2) of the main window:
# the pointer leaves for the screen's corner first, so an earlier hint goes. The hint
# is asked for until one shows, for up to 3 s (times MORVANE_SLOW): a hint lives only
# a few seconds, so a fixed wait long enough for a slow machine would outlast it.
hint_at() {
  xdotool mousemove 0 0
  pause 0.8
  xdotool mousemove $((WIN_X + $1)) $((WIN_Y + $2))
  pause 0.2
  xdotool mousemove $((WIN_X + $1 + 1)) $((WIN_Y + $2 + 1))
  sleep 0.7
  local shown deadline=$((SECONDS + $(slow_int 3)))
  while :; do
    shown=$(probe tooltip)
    [ "$shown" != none ] && [ -n "$shown" ] && break
    [ "$SECONDS" -ge "$deadline" ] && break
    sleep 0.3
  done
  echo "${shown:-none}"
}

# Waits up to 3 seconds (times MORVANE_SLOW) for the focus to be on "$1" (as focused()
# writes it) and echoes where it is at the end; the focus moves only once the system
# has activated the window again.
focus_becomes() {
  local now="" _
  for _ in $(seq 1 "$(slow_int 10)"); do
    now=$(focused)
    [ "$now" = "$1" ] && break
    sleep 0.3
  done
  echo "$now"
}
