#!/usr/bin/env bash
# The window follows WM_DPICHANGED, sent as the system sends it when the window moves
# to a monitor of another scale (the suggested rectangle: the window's own, scaled):
# 96 -> 144 pixels per inch and back. At each step the window takes the suggested
# rectangle, its X window on the screen grows or shrinks with it (it holds the client
# area, with the same frame around it as at the start: none, or the one Wine draws),
# and on the screen the title row is as high and the columns as wide as at start for
# that resolution (21 -> 31 pixels; 228, 34, 40, 50, 349, 228 scaled, column 4
# filling the grid). The client area's place on the screen is read through Win32. The list is empty ("Keyboards"), so this runs with or
# without a simulated machine. Screenshots: dpi144.png and dpi96.png in the work folder.
# Usage: window-dpi-change.sh <wine runner> <program> <work folder> <gui-probe.exe> [<machine file>]
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin window-dpi-change "$1" "$2" "$3" "${5:-}"
PROBE=$4
program_start /keyboards
check_main_window
read -r start_rect < <(probe rect "USB Devices Rate Setup")
echo "window at start: $start_rect"
# The frame around the client area in the X window: what the X window has beyond it.
frame_of() {
  local ox oy ow oh
  read -r ox oy ow oh < <(window_geometry "$WID")
  echo "$((WIN_X - ox)) $((WIN_Y - oy)) $((ox + ow - WIN_X - WIN_W)) $((oy + oh - WIN_Y - WIN_H))"
}
start_frame=$(frame_of)
echo "frame at start (left top right bottom): $start_frame"

design_widths=(228 34 40 50 349 228)
scale() { echo $(($1 * $2 / 96)); }

# Checks the window at $1 pixels per inch after the change to it (suggested rectangle $2).
check_at() {
  local dpi=$1 suggested=$2 shot="$work/dpi$1.png" rect l t r b cw ch
  read -r l t r b cw ch < <(probe rect "USB Devices Rate Setup")
  rect="$l $t $r $b"
  check_that "at $dpi pixels per inch the window takes the suggested rectangle" \
    "suggested $suggested, it is at $rect" test "$rect" = "$suggested"
  pointer_away 1.5
  local client frame
  client=$(window_client "USB Devices Rate Setup") || client="0 0 0 0"
  read -r WIN_X WIN_Y WIN_W WIN_H <<<"$client"
  frame=$(frame_of)
  check_that "at $dpi pixels per inch the window on the screen holds the client area ($cw x $ch) in the frame of the start" \
    "the client area is ${WIN_W} x ${WIN_H} at $WIN_X,$WIN_Y; the X window has $frame beyond it, at the start $start_frame" \
    test "$WIN_W $WIN_H" = "$cw $ch" -a "$frame" = "$start_frame"
  import -window root "$shot"
  at() { pixel "$shot" $((WIN_X + $1)) $((WIN_Y + $2)); }

  local grid_x=2 grid_y=$(($(scale 38 "$dpi") + 2)) row=$(scale 21 "$dpi")
  # Down the right end of column 5, beyond its title text and away from the current
  # cell (column 0): the title row, its line, then the empty data row in the window
  # colour. The scan starts below the title's light top edge.
  local probe_x=$((cw - grid_x - 20)) y=$((grid_y + 2))
  while [ $y -lt $((grid_y + 80)) ] && [ "$(at "$probe_x" "$y")" != "255 255 255" ]; do y=$((y + 1)); done
  check_that "at $dpi pixels per inch the title row is $row pixels high" \
    "the first data row starts $((y - grid_y)) pixels below the grid's top" test $((y - grid_y)) -eq $((row + 1))

  local widths=() total=10 c
  for c in 0 1 2 3 5; do widths[c]=$(scale "${design_widths[c]}" "$dpi"); total=$((total + widths[c])); done
  widths[4]=$((cw - total))
  local x=$grid_x bad="" title
  title=$(at $((grid_x + 2)) $((grid_y + 2)))
  for ((c = 0; c < 6; c++)); do
    x=$((x + widths[c]))
    [ "$(at "$x" $((grid_y + 2)))" != "$(at $((x - 2)) $((grid_y + 2)))" ] || bad="$bad column $c;"
    [ "$(at $((x - 2)) $((grid_y + 2)))" = "$title" ] || bad="$bad column $c (narrower);"
    x=$((x + 1))
  done
  check_that "at $dpi pixels per inch the columns are ${widths[*]} pixels wide" "no border where expected:$bad" \
    test -z "$bad"
  check_that "at $dpi pixels per inch the columns fill the grid" "they end at $((x - grid_x)) of $((cw - 2 * grid_x))" \
    test $((x - grid_x)) -eq $((cw - 2 * grid_x))
}

if suggested=$(probe dpi "USB Devices Rate Setup" 144 96) && [ -n "$suggested" ]; then
  check_pass "WM_DPICHANGED for 144 pixels per inch is taken"
  check_at 144 "$suggested"
else
  check_fail "WM_DPICHANGED for 144 pixels per inch is taken" "the probe could not send it"
fi
if suggested=$(probe dpi "USB Devices Rate Setup" 96 144) && [ -n "$suggested" ]; then
  check_pass "WM_DPICHANGED back to 96 pixels per inch is taken"
  check_at 96 "$suggested"
  read -r l t r b _ < <(probe rect "USB Devices Rate Setup")
  check_that "back at 96 pixels per inch the window has its size of the start again" \
    "it is at $l $t $r $b, it started at ${start_rect% * *}" test "$l $t $r $b" = "${start_rect% * *}"
else
  check_fail "WM_DPICHANGED back to 96 pixels per inch is taken" "the probe could not send it"
fi

check_escape_closes 700
checks_finish
