#!/usr/bin/env bash
# setup-sim.exe when a window cannot be created (MORVANE_REFUSE_WINDOW: the class is
# registered first with a procedure that refuses its windows): the main window and,
# in a second run, the grid inside it. Each time the error box "MORVANE Setup" names
# the failed step with the system's text, no main window appears, and after OK the
# program ends with exit code 1.
# Usage: setup-sim-no-window.sh <wine runner> <setup-sim.exe> <work folder> <gui-probe.exe>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-no-window "$1" "$2" "$3"
PROBE=$4
unset MORVANE_MACHINE MORVANE_MACHINE_DUMP

refused() {
  local class=$1 text="" boxid=""
  export MORVANE_REFUSE_WINDOW=$class
  sim_start
  for _ in $(seq 1 "$(slow_int 60)"); do
    text=$(probe box "MORVANE Setup")
    [ -n "$text" ] && break
    sleep 0.5
  done
  echo "error box for $class: $text"
  check_that "a refused $class window gives the error box with the failed step" "it says \"$text\"" \
    grep -q "^CreateWindowEx($class) failed with error 8:" <<<"$text"
  check_that "the box of a refused $class window gives the system's text" "it says \"$text\"" \
    test "$(sed -n 2p <<<"$text")" != ""
  if visible_id=$(xdotool search --onlyvisible --name '^USB Devices Rate Setup$' 2>/dev/null | head -n1) &&
     [ -n "$visible_id" ]; then
    check_fail "no main window shows when the $class window is refused" "window $visible_id is on the screen"
  else
    check_pass "no main window shows when the $class window is refused"
  fi
  boxid=$(xdotool search --onlyvisible --name '^MORVANE Setup$' | while read -r id; do
            read -r _ _ w _ < <(window_geometry "$id"); [ "$w" -gt 20 ] && echo "$id"; done | head -n1)
  [ -n "$boxid" ] && answer_box "$boxid" Return
  sim_wait_exit
  check_exit_code "the program ends with exit code 1 when the $class window is refused" 1
  unset MORVANE_REFUSE_WINDOW
}

refused MorvaneSetupWindow
refused MorvaneGrid
checks_finish
