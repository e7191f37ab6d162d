#!/usr/bin/env bash
# setup-sim.exe on a screen of 120 pixels per inch (a Wine prefix of its own whose
# LogPixels is 120): the client area becomes 1200 x 450, the rows 26 pixels high and
# the columns 285, 42, 50, 62, 466 and 285 pixels wide (column 4 filling the grid), and
# the grid still shows the devices.
# Usage: setup-sim-dpi.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-dpi "$@"
sim_use_machine "$machine"
export WINEPREFIX="$work/wineprefix"

if ! "$runner" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 120 /f >/dev/null 2>&1; then
  check_fail "the screen is set to 120 pixels per inch" "reg add failed"
  exit 1
fi
check_pass "the screen is set to 120 pixels per inch"

sim_start /mice
check_main_window
check_that "client area 1200 x 450" "it is ${WIN_W} x ${WIN_H}" test "$WIN_W" -eq 1200 -a "$WIN_H" -eq 450
pointer_away 1.5
import -window root "$work/dpi120.png"
at() { pixel "$work/dpi120.png" $((WIN_X + $1)) $((WIN_Y + $2)); }

# The grid starts below the head panel (38 scaled to 48, rounded) inside its 2-pixel edge.
grid_x=2
grid_y=$((48 + 2))
# Runs of one colour down the right end of column 1 ("Filter?", 42 pixels from 286,
# where the short texts do not reach): the title row, then the light green row of the
# gaming mouse, the light red row of the mouse with the problem, with lines between.
probe_x=$((grid_x + 286 + 38))
title=$(at "$probe_x" $((grid_y + 2)))
runs=()
prev=""
start=$grid_y
for ((y = grid_y; y < grid_y + 90; y++)); do
  colour=$(at "$probe_x" "$y")
  if [ "$colour" != "$prev" ]; then
    [ -n "$prev" ] && runs+=("$((y - start)):$prev")
    prev=$colour
    start=$y
  fi
done
echo "runs down column 1: ${runs[*]}"
heights=""
for run in "${runs[@]}"; do
  case "${run#*:}" in
    "204 255 204"|"255 204 204") heights="$heights ${run%%:*}" ;;
  esac
done
check_that "rows are 26 pixels high" "the tinted rows are${heights:- not found} pixels high" test "$heights" = " 26 26"

# Column borders in the title row (above its text): the one-pixel lines after each
# column differ from the button face inside the column.
expected_widths=(285 42 50 62 466 285)
x=$grid_x
bad=""
for ((c = 0; c < 6; c++)); do
  x=$((x + expected_widths[c]))
  [ "$(at "$x" $((grid_y + 2)))" != "$(at $((x - 2)) $((grid_y + 2)))" ] || bad="$bad column $c;"
  [ "$(at $((x - 2)) $((grid_y + 2)))" = "$title" ] || bad="$bad column $c (narrower);"
  x=$((x + 1))
done
check_that "columns 285, 42, 50, 62, 466 and 285 wide" "no border where expected:${bad}" test -z "$bad"
# Column 4 fills the grid: the line after the last column is the grid's last pixel.
check_that "the columns fill the grid's width" "they end at $((x - grid_x)) of $((WIN_W - 2 * grid_x))" \
  test $((x - grid_x)) -eq $((WIN_W - 2 * grid_x))

check_escape_closes 1000 "exit code (still running)"
if [ -s "$dump" ]; then
  rows_drawn=$(python3 -c 'import json,sys; g=json.load(open(sys.argv[1]))["grid"]; print(sum(1 for r in g[1:] if r and r[0]))' "$dump")
  check_that "the grid shows both mice" "$rows_drawn device rows drawn" test "$rows_drawn" -eq 2
else
  check_fail "the grid shows both mice" "no state file"
fi
checks_finish
