#!/usr/bin/env bash
# setup-sim.exe /mice under a high-contrast scheme, in a Wine prefix of its own whose
# system colours are white on black: over a copy of gui-machine.json whose PC has a
# high-contrast theme on ("highContrast"), the grid draws every cell in the system
# colours, without the light green and light red tints; over the same machine with the
# theme off, in the same colours, the tints are back (so the difference is the theme's,
# not the colours'). Screenshots screenshots/high-contrast.png and colours-only.png.
# (Wine itself always answers "off" to SPI_GETHIGHCONTRAST; the simulated PC answers.)
# Usage: setup-sim-high-contrast.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-high-contrast "$@"
export WINEPREFIX="$work/wineprefix"
shots="$work/screenshots"  # sim_use_machine clears the work folder's pictures
mkdir -p "$shots"

# White on black, the selection in cyan: the colours a high-contrast theme sets.
colours=(Window "0 0 0" WindowText "255 255 255" Hilight "0 255 255" HilightText "0 0 0"
         ButtonFace "0 0 0" ButtonText "255 255 255" ButtonShadow "128 128 128" ButtonHilight "255 255 255"
         GrayText "0 255 0" InfoWindow "0 0 0" InfoText "255 255 255" Menu "0 0 0" MenuText "255 255 255")
set_ok=1
for ((i = 0; i < ${#colours[@]}; i += 2)); do
  "$runner" reg add 'HKCU\Control Panel\Colors' /v "${colours[i]}" /t REG_SZ /d "${colours[i + 1]}" /f >/dev/null 2>&1 ||
    set_ok=""
done
check_that "the prefix's system colours are set to white on black" "reg add failed" test -n "$set_ok"

# The machine with the theme on, and off.
for theme in on off; do
  python3 - "$machine" "$work/machine-$theme.json" "$theme" <<'PY'
import json, sys
machine = json.load(open(sys.argv[1]))
machine.setdefault("system", {})["highContrast"] = sys.argv[3] == "on"
json.dump(machine, open(sys.argv[2], "w"))
PY
done

row_y() { echo $((38 + 2 + 22 * $1 + 17)); }  # below the text of grid row $1
col1_x=$((2 + 229 + 28))                        # the empty right end of "Filter?"
shot_of() {
  local theme=$1 name=$2
  sim_use_machine "$work/machine-$theme.json"
  sim_start /mice
  check_main_window
  pointer_away 1.5
  import -window root "$work/screen.png"
  convert "$work/screen.png" -crop "${WIN_W}x${WIN_H}+${WIN_X}+${WIN_Y}" +repage "$shots/$name.png"
  sim_kill
  sim_wait_exit || true
}
at() { pixel "$shots/$1.png" "$2" "$3"; }

shot_of on high-contrast
gaming=$(at high-contrast "$col1_x" "$(row_y 1)")
optical=$(at high-contrast "$col1_x" "$(row_y 2)")
title=$(at high-contrast "$col1_x" $((38 + 2 + 2)))
current=$(at high-contrast 100 "$(row_y 1)")
echo "theme on: gaming mouse $gaming, optical mouse $optical, title row $title, current cell $current"
check_that "under the theme the device with interrupt pipes is drawn in the window colour" "it is $gaming" \
  test "$gaming" = "0 0 0"
check_that "and the device with a problem too" "it is $optical" test "$optical" = "0 0 0"
check_that "the title row is in the button face colour" "it is $title" test "$title" = "0 0 0"
check_that "the current cell is in the selection colour" "it is $current" test "$current" = "0 255 255"
text=$(convert "$shots/high-contrast.png" -crop "220x14+4+$((38 + 2 + 22 * 2 + 4))" +repage -fill black +opaque white \
       -format '%[fx:mean>0?1:0]' info:)
check_that "the device names are drawn in the window text colour" "no white in row 2's name" test "$text" = 1

shot_of off colours-only
gaming=$(at colours-only "$col1_x" "$(row_y 1)")
optical=$(at colours-only "$col1_x" "$(row_y 2)")
echo "theme off: gaming mouse $gaming, optical mouse $optical"
check_that "without the theme, in the same colours, the tints are drawn" "rows $gaming / $optical" \
  test "$gaming" = "204 255 204" -a "$optical" = "255 204 204"
checks_finish
